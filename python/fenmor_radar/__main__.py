"""``python -m fenmor_radar``: the command line (see ``fenmor_radar.cli``)."""

from fenmor_radar.cli import main

raise SystemExit(main())
