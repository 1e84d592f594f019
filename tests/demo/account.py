"""The account of a finished run, in plain words, from the simulated
receiver's transcript and the exit code: what crossed the line, the model
the receiver reported, what the receiver itself did and why, and what the
exit code stands for in this run. The demo prints it; the end-to-end
scenarios check it."""

from tests.frames import describe_frame, hexs
from tests.protocol import (ACK_CLASS, CFG_CLASS, CFG_NAV5, CFG_PRT, EXIT_MEANINGS, MODEL_NAMES,
                            ubx_frame)


def model_name(model):
    return "model %d (%s)" % (model, MODEL_NAMES.get(model, "not a valid model"))


def intact(frame):
    length = frame[4] | frame[5] << 8
    return frame == ubx_frame(frame[2], frame[3], frame[6:6 + length])


def ubx_frames(exchange, direction):
    return [data for _, d, kind, data in exchange if kind == "ubx" and d == direction]


def sent(exchange, message_id, payload_length):
    return any(f[2] == CFG_CLASS and f[3] == message_id and len(f) == payload_length + 8
               for f in ubx_frames(exchange, "to-receiver"))


def answers_for(exchange, message_id):
    """The intact ACK-ACK / ACK-NAK frames naming CFG `message_id`, as 'ACK' or 'NAK'."""
    return ["ACK" if f[3] == 0x01 else "NAK" for f in ubx_frames(exchange, "to-program")
            if f[2] == ACK_CLASS and f[3] in (0x00, 0x01) and len(f) == 10 and intact(f)
            and f[6] == CFG_CLASS and f[7] == message_id]


def poll_responses(exchange):
    """The CFG-NAV5 responses the receiver sent: (intact, model)."""
    return [(intact(f), f[8]) for f in ubx_frames(exchange, "to-program")
            if f[2] == CFG_CLASS and f[3] == CFG_NAV5 and len(f) >= 11]


def crossing_lines(exchange, zero, arrow):
    """One row per frame, at the time it was written or received; NMEA
    sentences that went out together share a row."""
    lines = []
    nmea = []

    def flush_nmea():
        if nmea:
            names = [text.split(",")[0].lstrip("$") for _, text in nmea]
            lines.append("%+8.3f s  receiver %s program: NMEA text (%s)"
                         % ((nmea[0][0] - zero) / 1000.0, arrow, ", ".join(names)))
            nmea.clear()

    for t, direction, kind, data in exchange:
        if kind == "nmea":
            if nmea and nmea[0][0] != t:
                flush_nmea()
            nmea.append((t, data.decode("ascii", "replace").strip()))
            continue
        flush_nmea()
        who = ("program %s receiver" if direction == "to-receiver" else "receiver %s program") % arrow
        if kind == "ubx":
            text = describe_frame(data, direction)
        else:
            text = "%d other bytes: %s" % (len(data), hexs(data[:32]))
        lines.append("%+8.3f s  %s: %s" % ((t - zero) / 1000.0, who, text))
    flush_nmea()
    return lines


def model_lines(exchange, held):
    """What the receiver reported when polled; the simulator's own model
    (`held`) only where it differs, marked as the simulator's state."""
    responses = poll_responses(exchange)
    believed = [model for ok, model in responses if ok]
    if believed:
        reported = believed[-1]
        lines = ["When polled, the receiver reported dynamic %s." % model_name(reported)]
    elif responses:
        reported = None
        lines = ["The receiver's answer to the poll had a bad checksum: it reported no model "
                 "the program could believe."]
    else:
        reported = None
        lines = ["The receiver was never polled, so it reported no model."]
    if held is not None and held != reported:
        lines.append("(The simulator's own state, which the program cannot see: it holds "
                     "%s.)" % model_name(held))
    return lines


def what_happened(exchange, code, requested):
    """This run in words: the port's answer, then the model stage's."""
    if code == 2:
        return "no port could be opened, so nothing was sent."
    if code not in EXIT_MEANINGS:
        return "the program ended with a code Vantrel never returns."
    port_answers = answers_for(exchange, CFG_PRT)
    if code in (0, 4, 6):
        port = "the port configuration was acknowledged"
    elif "NAK" in port_answers:
        port = "the receiver refused the port configuration (ACK-NAK)"
    else:
        port = "the port configuration was not acknowledged (no answer within the wait)"
    if code in (6, 7):
        return port + "; the model stage was skipped (DisableVantrel), so no model was sent."
    port += "; " if code in (0, 4) else "; the model stage ran all the same: "
    wanted = model_name(requested)
    responses = poll_responses(exchange)
    if code in (4, 5):
        reported = [model for ok, model in responses if ok][-1]
        return port + ("%s was set and acknowledged, but when polled the receiver reported "
                       "%s: confirmed different." % (wanted, model_name(reported)))
    if not sent(exchange, CFG_NAV5, 36):
        return port + "the model set was never sent: %s is not confirmed." % wanted
    if not sent(exchange, CFG_NAV5, 0):
        if "NAK" in answers_for(exchange, CFG_NAV5):
            return port + ("the receiver refused the model set (ACK-NAK), so no poll followed: "
                           "%s is not set." % wanted)
        return port + ("the model set was not acknowledged (no answer within the wait), so no "
                       "poll followed: %s is not confirmed." % wanted)
    if any(ok and model == requested for ok, model in responses):
        return port + ("%s was set, and when polled the receiver reported it: confirmed "
                       "equal." % wanted)
    if responses:
        return port + ("%s was set and acknowledged, but the poll's answer had a bad checksum "
                       "and was not believed: the model is not confirmed." % wanted)
    return port + ("%s was set and acknowledged, but the poll was not answered: the model is "
                   "not confirmed." % wanted)


def receiver_lines(receiver):
    """What the receiver itself did, from what the simulator logged: which
    port the CFG-PRT changed, whether the line's speeds matched, what it
    refused or did not take in. Nothing for a real receiver, which logs
    nothing of its own."""
    start = receiver.of("start")
    scenario = start[0].get("scenario", {}) if start else {}
    lines = []
    host_speeds = [e["baud"] for e in receiver.of("speed") if e["baud"] > 0]
    if (scenario.get("hostPort") == "uart1" and host_speeds and
            scenario.get("uartBaud") != host_speeds[-1]):
        lines.append("The receiver's UART1 runs at %d baud and the program listens at %d: "
                     "what reached the program was only bytes with framing errors, never a "
                     "'$' or a UBX sync character, and the receiver could not read the "
                     "program's frames either." % (scenario["uartBaud"], host_speeds[-1]))
    for change in receiver.of("port-config"):
        silent = not change["outProtoMask"] & 0x03
        if change["hostPort"] and silent:
            lines.append("The receiver stopped talking after the CFG-PRT: it applied it to its "
                         "port %d, and port %d was the host's own line, so the zero protocol "
                         "masks switched off all its output there and all UBX input. It stays "
                         "silent until it restarts (the change is held in RAM only)."
                         % (change["port"], change["port"]))
        elif not change["hostPort"]:
            lines.append("The receiver applied the CFG-PRT to its port %d (UART1), which is not "
                         "the port this host talks through (USB): the host's line was not "
                         "affected." % change["port"])
    if scenario.get("refusesLegacy"):
        lines.append("This receiver refuses the legacy CFG-PRT and CFG-NAV5 messages with "
                     "ACK-NAK, as recent high-precision firmware and some M10 units do: neither "
                     "the port nor the model was changed.")
    ignored = [e for e in receiver.of("frame") if e.get("understood") is False]
    if ignored and not any("framing" in line for line in lines):
        lines.append("It took in none of the %d frame%s the program sent after that."
                     % (len(ignored), "" if len(ignored) == 1 else "s"))
    return lines


def account(receiver, code, requested, arrow="->"):
    """The demo's account of a finished run: what crossed the line, the
    model the receiver reported, and what the exit code stands for here."""
    lines = []
    exchange = receiver.exchange() if receiver is not None else []
    if receiver is not None:
        lines.append("What crossed the line (times from when the program set the line up):")
        opened = receiver.of("line-open")
        zero = opened[0]["t"] if opened else 0
        if not opened:
            lines.append("  the program never opened the receiver's port")
        lines += ["  " + line for line in crossing_lines(exchange, zero, arrow)]
        end = receiver.end()
        if opened:
            lines += ["  " + line for line in model_lines(exchange, end.get("model") if end
                                                          else None)]
        lines += ["  " + line for line in receiver_lines(receiver)]
    return lines, "In this run: " + what_happened(exchange, code, requested)
