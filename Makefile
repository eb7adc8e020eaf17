# The README's commands.  Each sets up from nothing: a virtual environment in .venv,
# torch 2.13.0 (CPU build) installed first, then velmora with its extras.

PYTHON ?= python3
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
TORCH_PIN ?= torch==2.13.0

.PHONY: setup test test-python demo bench clean

$(VENV)/.installed: pyproject.toml CMakeLists.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "$(TORCH_PIN)"
	$(PIP) install ".[test]"
	touch $@

setup: $(VENV)/.installed

test: setup
	$(PY) -m pytest -q

demo: setup
	$(PY) -m lumadex sample
	$(PY) examples/quickstart.py

clean:
	rm -rf $(VENV) build
