"""Read IEEE 1451.4 TEDS with the orvane_teds library, through its C
interface (ctypes; nothing to compile).

    >>> import orvane_teds
    >>> result = orvane_teds.decode_image(bytes.fromhex(
    ...     "648034410C40E201 64900FF86406291CFB0862B4450100"))
    >>> result.transducer.basic_teds.serial_number
    123456

For hosts that poll, a session keeps one handle for repeated queries:

    >>> with orvane_teds.Session(device="SIM-DAQ", poll_ms=0) as session:
    ...     for _ in range(3):
    ...         result = session.query(timeout_s=10)

The library is found through the variable ORVANE_TEDS_LIBRARY (the path of
liborvane_teds.so or orvane_teds.dll), in the package's folder, or on the
loader's search path; the simulated device likewise through
ORVANE_SIM_LIBRARY or beside the library.
"""

from .model import (BasicTeds, ChannelResult, DecodeResult, QueryResult, Template25, TedsError,
                    Transducer)
from .api import (Session, decode_ds2430a, decode_image, query, query_serial, scan, version,
                  write_serial)
from .simulator import SimulatedDevice

__all__ = [
    "BasicTeds", "ChannelResult", "DecodeResult", "QueryResult", "Session", "SimulatedDevice", "Template25",
    "TedsError",
    "Transducer", "decode_ds2430a", "decode_image", "query", "query_serial", "scan", "version",
    "write_serial",
]
