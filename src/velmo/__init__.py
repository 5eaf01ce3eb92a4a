"""velmo: event camera work in Python over the device layer's two binding modules.

`velmo_hal_py` and `velmo_base_py` publish the device layer itself. This package holds what is
built over them: `velmo.io` (event data types, the EVT3 decoder, recordings and streams) and the
`velmo` command line (`python -m velmo`).
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("velmo-python")
except PackageNotFoundError:
    __version__ = "unknown"
