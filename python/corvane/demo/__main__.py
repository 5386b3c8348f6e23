import sys

from corvane.demo.host import main

sys.exit(main())
