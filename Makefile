# The README's commands.  Each sets up from nothing: a virtual environment in .venv,
# torch 2.13.0 (CPU build) installed first, then velmora with its extras.

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
TORCH_PIN ?= torch==2.13.0
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
# where `make demo` writes the sample book's results and ladder picture
DEMO_OUT ?= build/demo-book
# Rebuild and reinstall when a Python module or a C++ source changes.
SOURCES := $(shell find src cpp -type f \( -name '*.py' -o -name '*.pyi' -o -name '*.hpp' -o -name '*.cpp' \))

.PHONY: setup dev test test-python test-cpp lint typecheck docs demo bench clean

# After `make dev` the install stays editable: a changed source is rebuilt in place
# (incrementally) instead of being replaced by a fresh wheel.
$(VENV)/.installed: pyproject.toml CMakeLists.txt $(SOURCES)
	if [ -f $(VENV)/.editable ]; then \
	    $(PIP) install --no-build-isolation -e . ; \
	else \
	    $(PYTHON) -m venv $(VENV) && \
	    $(PIP) install --upgrade pip && \
	    $(PIP) install "$(TORCH_PIN)" && \
	    $(PIP) install cmake ninja && \
	    $(PIP) install ".[test,docs]" ; \
	fi
	touch $@

setup: $(VENV)/.installed

# The developer loop: an editable install, so that python and pytest read src/ as it
# is edited; the build tools live in the venv because the build is not isolated, and
# a C++ change is compiled (incrementally, under build/) by running this again.
dev: setup
	$(PIP) install "scikit-build-core>=0.10" "nanobind>=2.4"
	$(PIP) install --no-build-isolation -ve .
	touch $(VENV)/.editable $(VENV)/.installed

test: setup test-cpp lint typecheck docs
	$(PY) -m pytest -q

# Lint with the settings in pyproject.toml.
lint: setup
	$(PY) -m ruff check .

# The compiled core's stub and the annotated public modules ([tool.mypy] in pyproject.toml).
typecheck: setup
	$(PY) -m mypy

# The documentation site in build/docs (the API reference from the docstrings); any
# warning fails the build.
docs: setup
	$(PY) -m sphinx -W --keep-going -q -b html docs build/docs

# The C++ core's own unit tests, built without Python and run by CTest.
test-cpp: setup
	$(CMAKE) -S . -B build/cpp-tests -DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/cpp-tests -j2
	$(CTEST) --test-dir build/cpp-tests --output-on-failure

demo: setup
	$(PY) -m lumadex sample
	$(PY) examples/quickstart.py
	@echo
	@echo "sample book: results, run record and ladder picture in $(DEMO_OUT)/"
	@mkdir -p $(DEMO_OUT)
	$(VENV)/bin/velmora-book examples/book/trades.jsonl --market examples/book/market.csv \
	    --date 2025-12-31 --ladder -10%:10%:5 --vol-ladder -5%:5%:3 --grid --no-progress \
	    --out $(DEMO_OUT)/results.csv --plot $(DEMO_OUT)/ladder.png; \
	    status=$$?; [ $$status -eq 0 ] || [ $$status -eq 3 ]

# Speed and memory figures, each against a baseline measured in the same run.
bench: setup
	$(PY) benchmarks/bench_vanilla.py
	$(PY) benchmarks/bench_barrier_family.py
	$(PY) benchmarks/bench_barrier_american.py
	$(PY) benchmarks/bench_autocallables.py
	$(PY) benchmarks/bench_autocall_pde.py
	$(PY) benchmarks/bench_autocall_local_vol.py
	$(PY) benchmarks/bench_asian.py --repeat 3
	$(PY) benchmarks/bench_lumadex.py
	$(PY) benchmarks/bench_book.py

clean:
	rm -rf $(VENV) build
