"""UBX frames and NMEA text as a reader wants them: split out of what
crossed the line and told in plain words. Used by the demo, the end-to-end
rig and the benchmark alike."""

from tests.protocol import MODEL_NAMES, ubx_frame


def hexs(data):
    return " ".join("%02X" % b for b in data)


def describe_frame(frame, direction):
    """A UBX frame in plain words. direction: 'to-receiver' or 'to-program'."""
    if len(frame) < 8 or frame[0] != 0xB5 or frame[1] != 0x62:
        return "not a UBX frame: " + hexs(frame)
    cls, mid = frame[2], frame[3]
    length = frame[4] | frame[5] << 8
    payload = frame[6:6 + length]
    names = {(0x06, 0x00): "CFG-PRT", (0x06, 0x24): "CFG-NAV5", (0x06, 0x01): "CFG-MSG",
             (0x05, 0x01): "ACK-ACK", (0x05, 0x00): "ACK-NAK"}
    name = names.get((cls, mid), "class 0x%02X id 0x%02X" % (cls, mid))
    body = bytes([cls, mid, frame[4], frame[5]]) + payload
    expected = ubx_frame(cls, mid, payload)
    checksum = "" if expected == bytes(frame[:8 + length]) else " (BAD CHECKSUM)"
    if (cls, mid) == (0x06, 0x00) and length >= 20:
        port = payload[0]
        mode = int.from_bytes(payload[4:8], "little")
        baud = int.from_bytes(payload[8:12], "little")
        in_mask = int.from_bytes(payload[12:14], "little")
        out_mask = int.from_bytes(payload[14:16], "little")
        bits = {0: 5, 1: 6, 2: 7, 3: 8}[(mode >> 6) & 3]
        parity = {4: "N", 0: "E", 1: "O"}.get((mode >> 9) & 7, "?")
        stops = {0: "1", 1: "1.5", 2: "2", 3: "0.5"}[(mode >> 12) & 3]
        return ("%s port %d, %d baud %d%s%s, protocol masks in %d out %d%s"
                % (name, port, baud, bits, parity, stops, in_mask, out_mask, checksum))
    if (cls, mid) == (0x06, 0x24):
        if length == 0:
            return "CFG-NAV5 poll (asks for the navigation settings)" + checksum
        if length >= 3:
            model = payload[2]
            what = "set" if direction == "to-receiver" else "response"
            mask = payload[0] | payload[1] << 8
            return ("CFG-NAV5 %s: dynamic model %d (%s), parameter mask 0x%04X%s"
                    % (what, model, MODEL_NAMES.get(model, "not a valid model"), mask, checksum))
    if cls == 0x05:
        if length >= 2:
            named = names.get((payload[0], payload[1]),
                              "class 0x%02X id 0x%02X" % (payload[0], payload[1]))
            return "%s for %s%s" % (name, named, checksum)
        return "%s naming no message (payload %d bytes)%s" % (name, length, checksum)
    return "%s, %d-byte payload%s" % (name, length, checksum)


def split_line_traffic(data):
    """Splits what the receiver sent into NMEA sentences, UBX frames and other
    bytes, in order: a list of (kind, bytes)."""
    pieces = []
    i = 0
    other = bytearray()

    def flush_other():
        if other:
            pieces.append(("bytes", bytes(other)))
            other.clear()

    while i < len(data):
        if data[i] == 0xB5 and i + 1 < len(data) and data[i + 1] == 0x62 and i + 6 <= len(data):
            length = data[i + 4] | data[i + 5] << 8
            end = i + 8 + length
            if length < 1024 and end <= len(data):
                flush_other()
                pieces.append(("ubx", bytes(data[i:end])))
                i = end
                continue
        if data[i] == ord("$"):
            end = data.find(b"\n", i)
            stop = data.find(b"\xB5\x62", i)
            if end >= 0 and (stop < 0 or stop > end):
                flush_other()
                pieces.append(("nmea", bytes(data[i:end + 1])))
                i = end + 1
                continue
        other.append(data[i])
        i += 1
    flush_other()
    return pieces
