import sys

from tools.demo_host.host import main

sys.exit(main())
