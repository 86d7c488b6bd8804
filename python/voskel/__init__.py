"""voskel: RNA-seq transcript analysis; the compiled core lives in voskel._core."""

from voskel._core import *  # noqa: F401,F403
from voskel._core import VoskelError, core_version  # noqa: F401

__version__ = core_version()
