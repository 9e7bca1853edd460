"""The simulated data-acquisition device, for demos and tests: a bench
attached to the device library for the life of the object."""

import os
from ctypes import byref, c_char_p, c_uint32, c_void_p

from . import _native
from .model import TedsError


class SimulatedDevice:
    """Attaches a simulated device: the built-in bench (device "SIM-DAQ" at
    address 1 with one DS2430A accelerometer on channel 0) when `bench` is
    None, else a bench file path or a bench JSON text. Use it in a `with`
    block, or call close()."""

    def __init__(self, bench=None):
        self._handle = None
        lib = _native.sim()
        handle = c_void_p()
        if bench is None:
            status = lib.orvane_sim_attach_default(byref(handle))
        elif isinstance(bench, (str, os.PathLike)) and not str(bench).lstrip().startswith("{"):
            status = lib.orvane_sim_attach_file(os.fsencode(bench), byref(handle))
        elif isinstance(bench, str):
            status = lib.orvane_sim_attach_text(bench.encode("utf-8"), byref(handle))
        else:
            raise TypeError("bench: expected None, a bench file path or a bench JSON text")
        if status != 0:
            raise TedsError(status, lib.orvane_sim_last_error().decode("utf-8"))
        self._handle = handle
        name = c_char_p()
        address = c_uint32()
        channel = c_uint32()
        lib.orvane_sim_describe(handle, byref(name), byref(address), byref(channel))
        self.name = name.value.decode("utf-8")
        self.address = address.value
        self.channel = channel.value

    def close(self):
        """Detaches the device; a second call does nothing."""
        if self._handle:
            _native.sim().orvane_sim_detach(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None):
            self.close()
