"""The results as Python values, copied out of the library's C records."""

import ctypes
import math
from dataclasses import dataclass, field
from typing import List, Optional

from . import _native


class TedsError(Exception):
    """A call the library refused: `status` is its status code, the message
    its error text."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def _text(raw: Optional[bytes]) -> str:
    return raw.decode("utf-8") if raw is not None else ""


def _texts(array, count: int) -> List[str]:
    return [_text(array[i]) for i in range(count)]


@dataclass(frozen=True)
class BasicTeds:
    """The Basic TEDS. `present` is False for manufacturer IDs 0, 1, 3 to 16
    and 16383: then the other fields are only the default record."""
    present: bool
    manufacturer_id: int
    model_number: int
    version_letter: str
    version_number: int
    serial_number: int


@dataclass(frozen=True)
class Template25:
    """Template 25, accelerometer/force transducer with constant current
    amplifier. `group` is "standard" (sens_ref and tf_hp_s set) or "extended"
    (the raw values set, sens_ref and tf_hp_s None); the transfer-function
    group's raw values are None without it."""
    group: str
    transfer_function: bool
    force: bool
    sens_ref: Optional[float]
    tf_hp_s: Optional[float]
    default_fr: Optional[int]
    passive: Optional[int]
    sens_ref_01: Optional[int]
    sens_ref_10: Optional[int]
    tf_hp_s_01: Optional[int]
    tf_hp_s_10: Optional[int]
    direction: int
    direction_text: str
    weight: float
    sign: int
    sign_text: str
    tf_sp: Optional[int]
    tf_kpr: Optional[int]
    tf_kpq: Optional[int]
    tf_sl: Optional[int]
    temp_coef: Optional[int]
    ref_freq: float
    ref_temp: float
    cal_date: int          # seconds since 1970-01-01 UTC
    cal_date_text: str     # "YYYY-MM-DD"
    cal_initials: str
    cal_period: int        # days
    meas_id: int

    @classmethod
    def from_c(cls, c: "_native.Template25") -> "Template25":
        extended = c.group == _native.GROUP_EXTENDED
        tf = bool(c.transfer_function)

        # Each group's raw values are kept only when the record holds it.
        raw = {name: getattr(c, name) if extended else None for name in (
            "default_fr", "passive", "sens_ref_01", "sens_ref_10", "tf_hp_s_01", "tf_hp_s_10")}
        raw.update({name: getattr(c, name) if tf else None for name in (
            "tf_sp", "tf_kpr", "tf_kpq", "tf_sl", "temp_coef")})
        texts = {name: _text(getattr(c, name)) for name in (
            "direction_text", "sign_text", "cal_date_text", "cal_initials")}
        plain = {name: getattr(c, name) for name in (
            "direction", "weight", "sign", "ref_freq", "ref_temp", "cal_date", "cal_period",
            "meas_id")}
        return cls(
            group="extended" if extended else "standard",
            transfer_function=tf,
            force=bool(c.force),
            sens_ref=None if extended or math.isnan(c.sens_ref) else c.sens_ref,
            tf_hp_s=None if extended or math.isnan(c.tf_hp_s) else c.tf_hp_s,
            **raw, **texts, **plain,
        )


@dataclass(frozen=True)
class Transducer:
    """One transducer: identity (8 ROM bytes, all zero for a decoded image),
    the devices whose images were joined, the image, the Basic TEDS, the
    templates, the template errors and the text report."""
    id: bytes
    id_text: str
    nodes: List[bytes]
    image: bytes
    basic_teds: BasicTeds
    templates: List[Template25]
    errors: List[str]
    report: str

    @classmethod
    def from_c(cls, c: "_native.Transducer") -> "Transducer":
        nodes = bytes(c.nodes[i] for i in range(8 * c.node_count))
        return cls(
            id=bytes(c.id),
            id_text=_text(c.id_text),
            nodes=[nodes[i:i + 8] for i in range(0, len(nodes), 8)],
            image=bytes(c.image[i] for i in range(c.image_size)),
            basic_teds=BasicTeds(
                present=bool(c.has_basic_teds),
                manufacturer_id=c.manufacturer_id,
                model_number=c.model_number,
                version_letter=c.version_letter.decode("latin-1"),
                version_number=c.version_number,
                serial_number=c.serial_number,
            ),
            templates=[Template25.from_c(c.templates[i].contents)
                       for i in range(c.template_count)],
            errors=_texts(c.errors, c.error_count),
            report=_text(c.report),
        )


@dataclass(frozen=True)
class DecodeResult:
    """`parsed` False: the TEDS could not be parsed, `parse_error` says why
    and `transducer` is None. `pages`: one checksum verdict per memory page
    (True is "Compile: GOOD CHECKSUM"), for a DS2430A dump only."""
    parsed: bool
    parse_error: Optional[str]
    pages: List[bool]
    transducer: Optional[Transducer]

    @classmethod
    def from_c(cls, c: "_native.DecodeResult") -> "DecodeResult":
        return cls(
            parsed=bool(c.parsed),
            parse_error=None if c.parsed else _text(c.parse_error),
            pages=[bool(c.page_good[i]) for i in range(c.page_count)],
            transducer=Transducer.from_c(c.transducer.contents) if c.transducer else None,
        )


@dataclass(frozen=True)
class QueryResult:
    """Everything one query produced: its texts and its transducers, in
    order; `timed_out` when it did not end within the time-out; `stopped`
    when it was stopped (Ctrl-C) or its session closed before it ended."""
    timed_out: bool
    texts: List[str] = field(default_factory=list)
    transducers: List[Transducer] = field(default_factory=list)
    stopped: bool = False

    @classmethod
    def from_c(cls, c: "_native.QueryResult") -> "QueryResult":
        covers_stopped = c.size >= _native.QueryResult.stopped.offset + ctypes.sizeof(ctypes.c_int)
        return cls(
            timed_out=bool(c.timed_out),
            texts=_texts(c.texts, c.text_count),
            transducers=[Transducer.from_c(c.transducers[i].contents)
                         for i in range(c.transducer_count)],
            stopped=bool(c.stopped) if covers_stopped else False,
        )


@dataclass(frozen=True)
class ChannelResult:
    """One channel of a scan: its number and what its query produced."""
    channel: int
    timed_out: bool
    texts: List[str] = field(default_factory=list)
    transducers: List[Transducer] = field(default_factory=list)
