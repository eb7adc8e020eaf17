"""Generate the synthetic sample data set (reproducibly, from a fixed seed).

    python scripts/make_sample_data.py                 # build the sample store in the cache
    python scripts/make_sample_data.py --store s.sqlite
    python scripts/make_sample_data.py --csv data/     # CSV files for `python -m lumadex import`

The data are SYNTHETIC, not market data: three made-up underlyings (SYN001.XSHG
rallies, SYN002.XSHG slumps, SYN003.XSHG stays in a range) from 2021-01-04 to
2025-12-31, with a bonus issue and two cash dividends.  The generator itself is
``lumadex._sample``, so an installed client can rebuild the store on first use;
no generated file is kept in the repository.
"""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "src"))

from lumadex.__main__ import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(["sample", *sys.argv[1:]]))
