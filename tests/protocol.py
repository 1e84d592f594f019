"""What the program puts on the line and how long it waits, as the Python
side of the project knows it: the exact frames it sends, the line it
prints, the model codes, the exit codes, and the bounds of its waits. The
C++ sources state the same facts in src/ubx/frame.h, src/ubx/exchange.h and
src/port/receiver_port.h; the end-to-end runs hold the two to each other
(the exact frames a receiver gets, the time a silent line takes).
"""

ACK_LINE = b"Vantrel::ProcessAckNak\r\r\n"

# The port configuration the program sends: port 1, 8N1, 115200 baud, both
# protocol masks 0. Written out in full so the check does not depend on the
# encoder below.
CFG_PRT_FRAME = bytes.fromhex(
    "B5 62 06 00 14 00 01 00 00 00 D0 08 00 00 00 C2 01 00 00 00 00 00 00 00 00 00 B6 34")
NAV5_POLL_FRAME = bytes.fromhex("B5 62 06 24 00 00 2A 84")

MODEL_NAMES = {
    0: "portable", 2: "stationary", 3: "pedestrian", 4: "automotive", 5: "sea",
    6: "airborne <1g", 7: "airborne <2g", 8: "airborne <4g",
}

EXIT_MEANINGS = {
    0: "port configuration acknowledged (model confirmed, or the model set/poll failed)",
    1: "port configuration not acknowledged",
    2: "no port could be opened",
    4: "port acknowledged, but the receiver reports another dynamic model",
    5: "port not acknowledged, and the receiver reports another dynamic model",
    6: "model stage disabled, port acknowledged",
    7: "model stage disabled, port not acknowledged",
}


def ubx_frame(msg_class, msg_id, payload):
    """A whole UBX frame around `payload`, its checksum computed."""
    body = bytes([msg_class, msg_id, len(payload) & 0xFF, len(payload) >> 8]) + bytes(payload)
    ck_a = ck_b = 0
    for byte in body:
        ck_a = (ck_a + byte) & 0xFF
        ck_b = (ck_b + ck_a) & 0xFF
    return b"\xB5\x62" + body + bytes([ck_a, ck_b])


def nav5_set_frame(model):
    """The CFG-NAV5 set the program sends: mask 'dynamic model only', model at byte 2."""
    payload = bytearray(36)
    payload[0] = 0x01
    payload[2] = model
    return ubx_frame(0x06, 0x24, payload)


# How long the program waits. An acknowledgement or response hunt makes
# 501 passes and sleeps 50 ms on each empty one; a device that never
# appears is tried 141 times, 100 ms apart.
HUNT_PASSES = 501
HUNT_SLEEP_MS = 50
OPEN_ATTEMPTS = 141
OPEN_SLEEP_MS = 100
SILENT_HUNT_S = HUNT_PASSES * HUNT_SLEEP_MS / 1000.0
NEVER_APPEARS_S = OPEN_ATTEMPTS * OPEN_SLEEP_MS / 1000.0

CFG_CLASS, ACK_CLASS = 0x06, 0x05
CFG_PRT, CFG_NAV5 = 0x00, 0x24
