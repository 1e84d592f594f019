"""A task definition read the way Task Scheduler reads it: its triggers
(each event trigger's query, Select by Select), its account, its settings
and its command; and checked against Task Scheduler's schema."""

import re
import subprocess
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

SCHEMA = Path(__file__).resolve().parent / "task_scheduler.xsd"
TASK_NAMESPACE = "{http://schemas.microsoft.com/windows/2004/02/mit/task}"


# A Select that takes one event of one provider, and nothing else.
ONE_EVENT = re.compile(r"\*\[System\[Provider\[@Name='([^']+)'\] and EventID=(\d+)\]\]")


def selected_events(subscription):
    """(log, provider, event ID) of each Select of an event query, in order;
    a Select that takes anything but one provider's one event reads as None."""
    events = []
    for query in ET.fromstring(subscription or "<none/>").iter("Query"):
        for part in query:
            match = ONE_EVENT.fullmatch((part.text or "").strip())
            wanted = part.tag == "Select" and match and part.get("Path") == query.get("Path")
            events.append((part.get("Path"),) + match.groups() if wanted else None)
    return tuple(events)


def task_definition(data):
    """What a task definition sets, read the way Task Scheduler reads it."""
    root = ET.fromstring(data.decode("utf-16"))

    def find(path):
        return root.findtext("/".join(TASK_NAMESPACE + step for step in path.split("/")))
    triggers = []
    for trigger in root.find(TASK_NAMESPACE + "Triggers") or []:
        kind = trigger.tag.replace(TASK_NAMESPACE, "")
        events = None
        if kind == "EventTrigger":
            events = selected_events(trigger.findtext(TASK_NAMESPACE + "Subscription"))
        triggers.append((kind, trigger.findtext(TASK_NAMESPACE + "Delay"), events))
    return {
        "triggers": triggers,
        "user": find("Principals/Principal/UserId"),
        "run level": find("Principals/Principal/RunLevel"),
        "instances": find("Settings/MultipleInstancesPolicy"),
        "start on batteries": find("Settings/DisallowStartIfOnBatteries"),
        "stop on batteries": find("Settings/StopIfGoingOnBatteries"),
        "time limit": find("Settings/ExecutionTimeLimit"),
        "command": find("Actions/Exec/Command"),
    }


def schema_problems(data):
    """What xmllint finds wrong with a definition against the schema, or ""."""
    with tempfile.NamedTemporaryFile(suffix=".xml") as file:
        file.write(data)
        file.flush()
        done = subprocess.run(["xmllint", "--noout", "--schema", str(SCHEMA), file.name],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return "" if done.returncode == 0 else done.stdout.decode(errors="replace").strip()
