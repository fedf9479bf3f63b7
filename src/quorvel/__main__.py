"""``python -m quorvel``: the same as the ``quorvel`` command."""

from quorvel.cli import main

raise SystemExit(main())
