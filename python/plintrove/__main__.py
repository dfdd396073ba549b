import sys

from plintrove.cli import main

sys.exit(main())
