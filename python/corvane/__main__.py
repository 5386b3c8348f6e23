"""`python -m corvane`: the same as the `corvane` command."""
import sys

from corvane.cli import main

sys.exit(main())
