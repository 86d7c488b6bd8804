"""voskel: RNA-seq transcript analysis.

The Pythonic API: `preflight`, `classify`, `quantify`, `leak`, `structure`, `terminal` and
`orfs` take paths (str or os.PathLike), configuration as keyword arguments or a dict, samples as
a list of dicts or a sheet path, check the configuration and return the core's summary. The
compiled core stays available unchanged as `voskel._core`; its functions are also re-exported
here under their own names.
"""

from voskel._core import *  # noqa: F401,F403
from voskel._core import VoskelError, core_version  # noqa: F401
from voskel.api import (  # noqa: F401
    ConfigError, classify, leak, orfs, preflight, quantify, structure, terminal)
from voskel.sheets import SheetError  # noqa: F401

__version__ = core_version()
