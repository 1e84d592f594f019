#!/usr/bin/env python3
"""Writes the seed corpus under fuzz/corpus/<target>/.

Each seed is a hand-made world in the targets' input encoding (see
fuzz_support.h and fuzz_registry.h): real frames and sentences, frames in
pieces and late, runs of sync chars, lengths at the 1023/1024 edge,
registry strings without terminators and names at 254..256 characters.
The seeds are only a starting point; the fuzzer's own finds stay in the
scratch corpus under build/ and are never written back here.

    python3 -m fuzz.make_seeds    rewrite the corpus (from the repository's root)
"""
import os
import shutil
import struct

from tests.protocol import ubx_frame as frame

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def nmea(body):
    c = 0
    for ch in body.encode():
        c ^= ch
    return ("$%s*%02X\r\n" % (body, c)).encode()


GGA = nmea("GPGGA,080000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,")
ACK_NAV5 = bytes.fromhex("B5 62 05 01 02 00 06 24 32 5B")
NAK_NAV5 = bytes.fromhex("B5 62 05 00 02 00 06 24 31 56")
ACK_PRT = bytes.fromhex("B5 62 05 01 02 00 06 00 0E 37")
ACK_CFGMSG = frame(0x05, 0x01, [0x06, 0x01])


def nav5_response(model, length=36):
    payload = [0] * 36
    payload[0] = payload[1] = 0xFF
    payload[2] = model
    payload[3] = 3
    payload = (payload + [0] * max(0, length - 36))[:length]
    return frame(0x06, 0x24, payload)


# ---- schedule: (delay, kind, ...) pieces --------------------------------

def delay_code(ms):
    if ms < 0x80:
        return ms
    return min(0xFF, 0x7F + (ms + 199) // 200)


def piece(data, after_ms=0):
    """Literal bytes, split into pieces of at most 191 bytes."""
    out = b""
    first = True
    for i in range(0, max(len(data), 1), 191):
        chunk = data[i:i + 191]
        out += bytes([delay_code(after_ms) if first else 0, len(chunk)]) + chunk
        first = False
    return out


def run(value, count, after_ms=0):
    """count (a multiple of 64, at most 4096) copies of value."""
    assert count % 64 == 0 and 64 <= count <= 4096
    return bytes([delay_code(after_ms), 0xBF + count // 64, value])


def long_bytes(data, after_ms=0):
    """Arbitrary bytes, using runs for long stretches of one value."""
    out = b""
    i = 0
    first = True
    while i < len(data):
        j = i
        while j < len(data) and data[j] == data[i]:
            j += 1
        n = (j - i) // 64 * 64
        if n >= 64:
            n = min(n, 4096)
            out += run(data[i], n, after_ms if first else 0)
            i += n
        else:
            k = i
            while k < len(data) and k - i < 191:
                k += 1
            out += piece(data[i:k], after_ms if first else 0)
            i = k
        first = False
    return out


def bytewise(data, gap_ms):
    return b"".join(bytes([delay_code(gap_ms), 1, x]) for x in data)


NO_FAULTS = b"\x00"


def faults(overstate=None, fail_call=None, from_then_on=False, shorten=None):
    flags = 0
    extra = b""
    if fail_call is not None:
        flags |= 1 | (2 if from_then_on else 0)
        extra += struct.pack("<H", fail_call)
    if overstate is not None:
        flags |= 8
        extra += bytes([overstate - 1])
    if shorten is not None:
        flags |= 16
        extra += bytes([shorten - 1])
    return bytes([flags]) + extra


# ---- receiver scenario ----------------------------------------------------

def reply_faults(nak=False, no_ack=False, no_response=False, names_other=False, foreign_first=False,
                 corrupt_ack=False, corrupt_response=False, doubled_sync=False, inside_nmea=False,
                 report_model=None, sync_run=None, ack_length=None, response_length=None,
                 pause=None, pieces=None):
    a = (nak << 0) | (no_ack << 1) | (no_response << 2) | (names_other << 3) | (foreign_first << 4) \
        | (corrupt_ack << 5) | (corrupt_response << 6) | (doubled_sync << 7)
    b = int(inside_nmea)
    extra = b""
    if report_model is not None:
        b |= 2
        extra += bytes([report_model])
    if sync_run is not None:
        b |= 4
        extra += bytes([sync_run])
    if ack_length is not None:
        b |= 8
        extra += struct.pack("<H", ack_length)
    if response_length is not None:
        b |= 16
        extra += struct.pack("<H", response_length)
    if pause is not None:
        b |= 32
        extra += bytes([pause[0], delay_code(pause[1])])
    if pieces is not None:
        b |= 64
        extra += bytes([pieces[0] - 1, pieces[1]])
    return bytes([a, b]) + extra


def scenario(silent=False, nmea_on=True, dollar=True, first_ms=100, period_ms=1000, reply_ms=8,
             initial_model=0, port=None, model_set=None, model_poll=None):
    flags = int(silent) | (int(not nmea_on) << 1) | (int(not dollar) << 2)
    tail = b""
    for bit, f in ((3, port), (4, model_set), (5, model_poll)):
        if f is not None:
            flags |= 1 << bit
            tail += f
    return bytes([flags, delay_code(first_ms), (period_ms - 100) // 20, reply_ms // 8, initial_model]) + tail


# ---- registry machine ---------------------------------------------------------

TYPE_INDEX = {"sz": 0, "dword": 3, "expand": 4, "binary": 5, "multi": 6, "none": 7}
ABSENT = b"\x30\x00"


def value_port(digit, typ="sz", terminated=True):
    return bytes([0x01 | (TYPE_INDEX[typ] << 1) | (1 << 4) | (int(terminated) << 6), digit])


def value_run(char, count, terminated, typ="sz"):
    return bytes([0x01 | (TYPE_INDEX[typ] << 1) | (2 << 4) | (int(terminated) << 6), ord(char)]) + struct.pack("<H", count)


def value_literal(data, typ="sz"):
    return bytes([0x01 | (TYPE_INDEX[typ] << 1)]) + struct.pack("<H", len(data)) + data


def value_short(data, typ):
    assert len(data) <= 8
    return bytes([0x01 | (TYPE_INDEX[typ] << 1) | (3 << 4), len(data)]) + data


def dword(v):
    return value_short(struct.pack("<I", v), "dword")


EARLY = {"not_found": 0, "not_ready": 1, "denied": 2, "gen": 3}
OPEN_ERROR = {None: 0, "denied": 4, "gen": 5, "not_ready": 6, "not_found": 7}
SETUP = {None: 0, "GetCommTimeouts": 3, "SetCommTimeouts": 4, "GetCommState": 5, "SetCommState": 6, "PurgeComm": 7}


def device(source, available_ms=0, early="not_found", open_error=None, setup=None, receiver=True):
    b = source | (EARLY[early] << 2) | (OPEN_ERROR[open_error] << 4) | (int(not receiver) << 7)
    return bytes([b, available_ms // 100, SETUP[setup]])


def machine(candidates=(ABSENT, ABSENT, ABSENT), settings=(ABSENT, ABSENT), devices=(),
            serial_key=True, settings_key=True):
    flags = int(not serial_key) | (int(not settings_key) << 1)
    return bytes([flags]) + b"".join(candidates) + b"".join(settings) + bytes([len(devices)]) + b"".join(devices)


# ---- the seeds ----------------------------------------------------------------

def ack_wait_seeds():
    head = lambda calls=1, cls=0x06, mid=0x24: bytes([calls - 1, cls, mid])
    pad1023 = bytes([0x06, 0x24]) + bytes(1021)
    pad1024 = bytes([0x06, 0x24]) + bytes(1022)
    return {
        "ack_ack_nav5": head() + NO_FAULTS + piece(ACK_NAV5),
        "ack_nak_nav5": head() + NO_FAULTS + piece(NAK_NAV5),
        "ack_names_other_message": head() + NO_FAULTS + piece(ACK_PRT),
        "foreign_ack_then_ack": head(2) + NO_FAULTS + piece(ACK_CFGMSG + ACK_NAV5),
        "ack_after_nmea": head() + NO_FAULTS + piece(GGA) + piece(ACK_NAV5, 30),
        "ack_inside_nmea": head() + NO_FAULTS + piece(b"$GPTXT,01,01,02,ANTENNA " + ACK_NAV5 + b"OK*3F\r\n"),
        "ack_byte_by_byte": head() + NO_FAULTS + bytewise(ACK_NAV5, 1),
        "ack_with_pause_in_payload": head() + NO_FAULTS + piece(ACK_NAV5[:7]) + piece(ACK_NAV5[7:], 2),
        "sync_run_before_ack": head() + NO_FAULTS + run(0xB5, 64) + piece(ACK_NAV5[1:]),
        "doubled_sync": head() + NO_FAULTS + piece(b"\xb5\x62" + ACK_NAV5),
        "ack_payload_1023": head() + NO_FAULTS + long_bytes(frame(0x05, 0x01, pad1023)),
        "ack_payload_1024": head(2) + NO_FAULTS + long_bytes(frame(0x05, 0x01, pad1024)) + piece(ACK_NAV5),
        "ack_payload_0_and_1": head(3) + NO_FAULTS + piece(ACK_NAV5 + frame(5, 1, []) + frame(5, 1, [6])),
        "bad_checksum": head() + NO_FAULTS + piece(ACK_NAV5[:-1] + b"\x5a"),
        "header_then_silence": head() + NO_FAULTS + piece(ACK_NAV5[:6]),
        "ack_late_in_hunt": head() + NO_FAULTS + piece(ACK_NAV5, 24800),
        "ack_after_hunt": head() + NO_FAULTS + piece(ACK_NAV5, 25600),
        "silent": head() + NO_FAULTS,
        "queue_overstated": head() + faults(overstate=3) + piece(ACK_NAV5),
        "read_fails_mid_frame": head() + faults(fail_call=8) + piece(ACK_NAV5),
    }


def response_read_seeds():
    head = lambda calls=1: bytes([calls - 1, 0x06, 0x24])
    return {
        "nav5_response": head() + NO_FAULTS + piece(nav5_response(4)),
        "ack_then_response": head() + NO_FAULTS + piece(ACK_NAV5 + nav5_response(0)),
        "response_in_pieces": head() + NO_FAULTS + bytewise(nav5_response(7)[:12], 0) + piece(nav5_response(7)[12:], 3),
        "response_after_nmea": head() + NO_FAULTS + piece(GGA) + piece(nav5_response(2), 500),
        "response_1023": head() + NO_FAULTS + long_bytes(nav5_response(4, 1023)),
        "response_1024_then_good": head(2) + NO_FAULTS + long_bytes(nav5_response(4, 1024)) + piece(nav5_response(4)),
        "response_short": head(2) + NO_FAULTS + piece(nav5_response(4, 2) + nav5_response(4, 0)),
        "corrupt_then_good": head(2) + NO_FAULTS + piece(nav5_response(4)[:-1] + b"\x00" + nav5_response(4)),
        "sync_run": head() + NO_FAULTS + run(0xB5, 128) + piece(nav5_response(4)[1:]),
        "late": head() + NO_FAULTS + piece(nav5_response(4), 25000),
        "silent": head() + NO_FAULTS,
        "queue_overstated": head() + faults(overstate=8) + piece(nav5_response(4)),
    }


def nmea_wait_seeds():
    noise = bytes(range(0x20, 0x24)) * 4
    return {
        "sentence": b"\x00" + NO_FAULTS + piece(GGA),
        "sentence_late": b"\x00" + NO_FAULTS + piece(GGA, 3000),
        "sentence_after_idle_limit": b"\x00" + NO_FAULTS + piece(GGA, 25600),
        "no_dollar_text": b"\x01" + NO_FAULTS + piece(GGA[1:]) + piece(GGA[1:], 1000),
        "eighty_reads_without_dollar": b"\x00" + NO_FAULTS + b"".join(piece(noise, 60) for _ in range(81)) + piece(GGA, 60),
        "dollar_past_first_buffer": b"\x00" + NO_FAULTS + run(0x41, 1024) + piece(GGA),
        "binary_then_dollar": b"\x00" + NO_FAULTS + piece(ACK_NAV5) + piece(GGA, 60),
        "silent": b"\x01" + NO_FAULTS,
        "queue_overstated": b"\x00" + faults(overstate=2) + piece(GGA, 100),
    }


def configuration_run_seeds():
    settings = lambda disable, model: struct.pack("<II", disable, model)
    talking = scenario()
    return {
        "confirmed_model_4": settings(0, 4) + talking + NO_FAULTS,
        "disabled": settings(1, 4) + talking + NO_FAULTS,
        "model_1_becomes_portable": settings(0, 1) + talking + NO_FAULTS,
        "model_out_of_range": settings(0, 0xFFFFFFFF) + scenario(initial_model=3) + NO_FAULTS,
        "silent_receiver": settings(0, 4) + scenario(silent=True) + NO_FAULTS,
        "port_nak": settings(0, 4) + scenario(port=reply_faults(nak=True)) + NO_FAULTS,
        "mismatch_reported": settings(0, 4) + scenario(model_poll=reply_faults(report_model=5)) + NO_FAULTS,
        "disabled_port_unacknowledged": settings(7, 2) + scenario(port=reply_faults(no_ack=True)) + NO_FAULTS,
        "foreign_ack_first": settings(0, 6) + scenario(model_set=reply_faults(foreign_first=True)) + NO_FAULTS,
        "ack_names_other": settings(0, 6) + scenario(model_set=reply_faults(names_other=True)) + NO_FAULTS,
        "response_1023": settings(0, 8) + scenario(model_poll=reply_faults(response_length=1023)) + NO_FAULTS,
        "response_short": settings(0, 8) + scenario(model_poll=reply_faults(response_length=2)) + NO_FAULTS,
        "replies_in_pieces": settings(0, 3) + scenario(port=reply_faults(pieces=(3, 2)),
                                                       model_poll=reply_faults(pause=(10, 30), sync_run=5)) + NO_FAULTS,
        "inside_nmea_doubled_sync": settings(0, 2) + scenario(model_set=reply_faults(inside_nmea=True, doubled_sync=True)) + NO_FAULTS,
        "no_dollar_nmea": settings(0, 4) + scenario(dollar=False) + NO_FAULTS,
        "extra_traffic": settings(0, 4) + scenario(nmea_on=False, reply_ms=0) + NO_FAULTS
                          + piece(ACK_CFGMSG, 5) + piece(nav5_response(1), 20),
        "shortened_writes": settings(0, 4) + talking + faults(shorten=1),
        "queue_overstated": settings(0, 4) + talking + faults(overstate=1),
    }


def registry_seeds():
    std_settings = (dword(0), dword(4))
    return {
        "nmeavcp0_com5": machine((ABSENT, ABSENT, value_port(5)), std_settings, [device(3)]) + NO_FAULTS,
        "all_three_listed": machine((value_port(7), value_port(6), value_port(5)), std_settings,
                                    [device(2), device(3)]) + NO_FAULTS,
        "late_device_not_ready": machine((value_port(7), ABSENT, ABSENT), std_settings,
                                         [device(1, available_ms=5000, early="not_ready")]) + NO_FAULTS,
        "device_too_late": machine((value_port(7), ABSENT, ABSENT), std_settings,
                                   [device(1, available_ms=25000)]) + NO_FAULTS,
        "access_denied_then_com3": machine((value_port(7), ABSENT, ABSENT), std_settings,
                                           [device(1, open_error="denied"), device(0)]) + NO_FAULTS,
        "setup_fails": machine((ABSENT, value_port(6), ABSENT), std_settings,
                               [device(2, setup="SetCommState")]) + NO_FAULTS,
        "no_serial_key": machine(serial_key=False, devices=[device(0)]) + NO_FAULTS,
        "com3_only": machine(devices=[device(0)], settings_key=False) + NO_FAULTS,
        "no_terminator": machine((value_port(4, terminated=False), ABSENT, ABSENT), std_settings,
                                 [device(1)]) + NO_FAULTS,
        "name_254": machine((value_run("A", 254, True), ABSENT, ABSENT), std_settings, [device(1)]) + NO_FAULTS,
        "name_255": machine((value_run("A", 255, True), ABSENT, value_port(5)), std_settings, [device(3)]) + NO_FAULTS,
        "name_255_unterminated": machine((value_run("B", 255, False), ABSENT, ABSENT), std_settings) + NO_FAULTS,
        "value_256_unterminated": machine((value_run("C", 256, False), ABSENT, ABSENT), std_settings) + NO_FAULTS,
        "value_257": machine((value_run("D", 256, True), ABSENT, ABSENT), std_settings) + NO_FAULTS,
        "name_95_and_96": machine((value_run("E", 96, True), value_run("F", 95, True), ABSENT), std_settings,
                                  [device(1), device(2)]) + NO_FAULTS,
        "empty_and_nul_only": machine((value_literal(b""), value_literal(b"\x00"), value_literal(b"\x00COM5\x00")),
                                      std_settings) + NO_FAULTS,
        "wrong_types": machine((value_port(5, "expand"), value_short(b"\x05\x00\x00\x00", "dword"),
                                value_port(5, "multi")), std_settings, [device(3)]) + NO_FAULTS,
        "settings_as_strings": machine((ABSENT, ABSENT, value_port(5)),
                                       (value_short(b"1\x00", "sz"), value_short(b"4\x00", "sz")), [device(3)]) + NO_FAULTS,
        "settings_odd_sizes": machine((ABSENT, ABSENT, value_port(5)),
                                      (value_short(b"\x01\x00", "dword"), value_short(b"\x04" + bytes(7), "dword")),
                                      [device(3)]) + NO_FAULTS,
        "settings_empty_dword": machine((ABSENT, ABSENT, value_port(5)),
                                        (value_short(b"", "dword"), value_short(b"\x02\x00\x00", "dword"))) + NO_FAULTS,
        "registry_query_fails": machine((ABSENT, ABSENT, value_port(5)), std_settings, [device(3)]) + faults(fail_call=2),
    }


def program_seeds():
    talking = scenario()
    base = lambda settings, devs=None, sc=talking, cands=(ABSENT, ABSENT, value_port(5)): (
        sc + machine(cands, settings, devs if devs is not None else [device(3)]))
    return {
        "confirmed_run": base((dword(0), dword(4))) + NO_FAULTS,
        "disabled_run": base((dword(1), dword(4))) + NO_FAULTS,
        "mismatch_run": base((dword(0), dword(4)), sc=scenario(model_poll=reply_faults(report_model=2))) + NO_FAULTS,
        "no_port": base((dword(0), dword(4)), devs=[]) + NO_FAULTS,
        "late_device": base((dword(0), dword(3)), devs=[device(3, available_ms=8000, early="not_ready")]) + NO_FAULTS,
        "com3_fallback_silent": base((ABSENT, ABSENT), devs=[device(0, receiver=False)], cands=(ABSENT, ABSENT, ABSENT)) + NO_FAULTS,
        "setup_fails_then_com3": base((dword(0), dword(4)), devs=[device(3, setup="PurgeComm"), device(0)]) + NO_FAULTS,
        "silent_receiver": base((dword(0), dword(4)), sc=scenario(silent=True)) + NO_FAULTS,
        "extra_traffic": base((dword(0), dword(5)), sc=scenario(nmea_on=False, reply_ms=0)) + NO_FAULTS
                         + piece(GGA, 300) + piece(ACK_CFGMSG, 50) + piece(nav5_response(1), 10),
        "close_fails": base((dword(0), dword(4))) + faults(fail_call=40, from_then_on=True),
    }


def main():
    targets = {
        "ack_wait": ack_wait_seeds(),
        "response_read": response_read_seeds(),
        "nmea_wait": nmea_wait_seeds(),
        "configuration_run": configuration_run_seeds(),
        "registry": registry_seeds(),
        "program": program_seeds(),
    }
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    for target, seeds in targets.items():
        directory = os.path.join(CORPUS, target)
        os.makedirs(directory)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)
    print("seeds:", ", ".join("%s %d" % (t, len(s)) for t, s in targets.items()))


if __name__ == "__main__":
    main()
