#!/usr/bin/env python3
"""Windows Installer's condition syntax as ship/check/msi_conditions.py reads it,
case by case against "Conditional Statement Syntax" and "Using Properties
in Conditional Statements": the logical operators' precedence (NOT, then
AND, OR, XOR, EQV, IMP loosest), the comparisons made without case by ~,
an integer against a value that is no integer (false, but for <>), the
bitwise meaning of the substring operators between integers, and what is
true alone (a property with any value, "0" too; the integer 0 is not).

  python3 -m tests.ship.msi_conditions_test
"""

import sys

from ship.check.msi_conditions import ConditionError, evaluate, parse
from tests.checks import Checks

A, B, C = ("property", "A"), ("property", "B"), ("property", "C")

# (condition, property values, whether it holds)
HOLDS = [
    # NOT binds tighter than AND, AND than OR, OR than XOR, and IMP is loosest.
    ("NOT A AND B", {"A": "1"}, False),
    ("A OR B AND C", {"A": "1"}, True),
    ("A XOR B OR C", {"A": "1", "B": "1", "C": "1"}, False),
    ("A IMP B EQV C", {"B": "1"}, True),
    ("NOT A = \"x\"", {"A": "x"}, False),
    ("not A and b", {"b": "1"}, True),
    ("(A OR B) AND C", {"A": "1"}, False),
    # ~ makes a string comparison ignore case; without it case counts.
    ('A = "abc"', {"A": "ABC"}, False),
    ('A ~= "abc"', {"A": "ABC"}, True),
    ('A ~<> "abc"', {"A": "ABC"}, False),
    ('A >< "B"', {"A": "abc"}, False),
    ('A ~>< "B"', {"A": "abc"}, True),
    ('A ~<< "AB"', {"A": "abc"}, True),
    ('A ~>> "BC"', {"A": "abc"}, True),
    ('A >> "bc"', {"A": "abc"}, True),
    # A value that reads as an integer compares with an integer as one...
    ("A >= 600", {"A": "1000"}, True),
    ("A = 601", {"A": "601"}, True),
    # ...a value that does not is never equal, less or greater: all false but <>.
    ("A = 601", {}, False),
    ("A <> 601", {}, True),
    ("A < 601", {}, False),
    ("A >= 601", {"A": "abc"}, False),
    ("A <> 601", {"A": "abc"}, True),
    ("A >< 6", {"A": "abc6"}, False),
    # Between integers >< is a bitwise AND, << and >> compare the high and
    # low 16 bits of the left one.
    ("A >< 4", {"A": "12"}, True),
    ("A >< 4", {"A": "3"}, False),
    ("A << 1", {"A": "65538"}, True),
    ("A >> 2", {"A": "65538"}, True),
    ("A >> 1", {"A": "65538"}, False),
    # Alone: a property is true when it has a value, whatever the value;
    # a missing one is the empty string.
    ("A", {"A": "0"}, True),
    ("NOT A", {"A": "0"}, False),
    ("A", {}, False),
    ('A = ""', {}, True),
    ("0", {}, False),
    ("1", {}, True),
    ("", {}, True),
]
# Precedence where truth values cannot tell: XOR and EQV give the same
# answers grouped either way, so the grouping itself is read.
TREES = [
    ("A EQV B XOR C", ("EQV", A, ("XOR", B, C))),
    ("A XOR B EQV C", ("EQV", ("XOR", A, B), C)),
    ("A IMP B EQV C", ("IMP", A, ("EQV", B, C))),
    ("NOT A OR B", ("OR", ("NOT", A), B)),
]
UNREADABLE = ["(A", "A =", "A AND", 'A = "x" = B']


def main():
    checks = Checks()
    expect = checks.expect

    for condition, values, wanted in HOLDS:
        found = evaluate(condition, values)
        expect(found == wanted, "%r with %s is %s%s" % (condition, values or "nothing set", wanted,
                                                       "" if found == wanted else " (read as %s)" % found))
    for condition, wanted in TREES:
        found = parse(condition)
        expect(found == wanted, "%r groups as %s%s" % (condition, wanted,
                                                      "" if found == wanted else " (read as %s)" % (found,)))
    for condition in UNREADABLE:
        try:
            parse(condition)
            refused = False
        except ConditionError:
            refused = True
        expect(refused, "%r is refused as unreadable" % condition)
    return checks.status("case(s)")


if __name__ == "__main__":
    sys.exit(main())
