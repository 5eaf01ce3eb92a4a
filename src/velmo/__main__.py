import sys

from velmo.cli import main

sys.exit(main())
