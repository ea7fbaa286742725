"""``python -m lumvero_contrib``: the lumvero-index command."""
import sys

from lumvero_contrib.cli import main

sys.exit(main())
