"""`python -m corvane FILE.toml`: the same as the `corvane` command."""

from corvane.cli import main

raise SystemExit(main())
