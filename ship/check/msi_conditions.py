"""Windows Installer's conditional statement syntax, evaluated over a
dict of property values, so that the package's rules can ask what a
condition means rather than how it is written.

The documented grammar ("Conditional Statement Syntax"): the logical
operators NOT, AND, OR, XOR, EQV and IMP, lowest precedence last; the
comparisons = <> > >= < <=, and the substring operators >< (contains),
<< (starts with) and >> (ends with), each case-insensitive with a leading
~. A property is true when it has a value, "0" too; a missing one is "".
An integer literal compares with a value that reads as an integer as
integers (>< then tests their bits in common, << and >> the left one's
high and low 16 bits), with any other value never (all false but <>);
two values that are not integer literals compare as strings. An integer
literal stands for itself, so 0 alone is false.

  evaluate('NOT Installed OR AdminUser', {"Installed": "1"}) -> False
"""

import operator
import re

TOKEN = re.compile(r'\s*(?:(?P<string>"[^"]*")|(?P<op>~?(?:><|<<|>>|<>|>=|<=|=|<|>))|'
                   r'(?P<paren>[()])|(?P<word>[%$&!?]?[A-Za-z_][A-Za-z0-9_.]*)|(?P<number>-?\d+))')
LOGICAL = ("IMP", "EQV", "XOR", "OR", "AND")


class ConditionError(ValueError):
    pass


def tokens(text):
    at, found = 0, []
    while at < len(text.rstrip()):
        match = TOKEN.match(text, at)
        if not match or match.end() == at:
            raise ConditionError("cannot read %r at %d" % (text, at))
        kind = match.lastgroup
        value = match.group(kind)
        if kind == "word" and value.upper() in LOGICAL + ("NOT",):
            kind, value = "logical", value.upper()
        found.append((kind, value))
        at = match.end()
    return found


def parse(text):
    """The condition as a tree of tuples; an empty condition is true."""
    if not text.strip():
        return ("true",)
    items = tokens(text)
    tree, at = _logical(items, 0, 0)
    if at != len(items):
        raise ConditionError("unexpected %r in %r" % (items[at][1], text))
    return tree


def _logical(items, at, level):
    if level == len(LOGICAL):
        return _not(items, at)
    left, at = _logical(items, at, level + 1)
    while at < len(items) and items[at] == ("logical", LOGICAL[level]):
        right, at = _logical(items, at + 1, level + 1)
        left = (LOGICAL[level], left, right)
    return left, at


def _not(items, at):
    if at < len(items) and items[at] == ("logical", "NOT"):
        operand, at = _not(items, at + 1)
        return ("NOT", operand), at
    return _comparison(items, at)


def _comparison(items, at):
    left, at = _term(items, at)
    if at < len(items) and items[at][0] == "op":
        op = items[at][1]
        right, at = _term(items, at + 1)
        return ("compare", op, left, right), at
    return left, at


def _term(items, at):
    if at >= len(items):
        raise ConditionError("a condition ends too early")
    kind, value = items[at]
    if kind == "paren" and value == "(":
        inner, at = _logical(items, at + 1, 0)
        if at >= len(items) or items[at] != ("paren", ")"):
            raise ConditionError("a parenthesis is not closed")
        return inner, at + 1
    if kind == "string":
        return ("string", value[1:-1]), at + 1
    if kind == "number":
        return ("number", int(value)), at + 1
    if kind == "word":
        return ("property", value), at + 1
    raise ConditionError("unexpected %r" % value)


def _value(term, properties):
    if term[0] == "property":
        return properties.get(term[1], "")
    return term[1]


def _as_integer(value):
    if isinstance(value, int):
        return value
    return int(value) if re.fullmatch(r"-?\d+", value or "") else None


ORDER = {"=": operator.eq, "<>": operator.ne, ">": operator.gt, ">=": operator.ge,
         "<": operator.lt, "<=": operator.le}
SUBSTRING = {"><": lambda left, right: right in left, "<<": str.startswith, ">>": str.endswith}
# Between two integers the substring operators test bits: any in common, the
# high 16 bits of the left one, its low 16 bits.
BITWISE = {"><": lambda left, right: left & right != 0,
           "<<": lambda left, right: (left >> 16) & 0xFFFF == right,
           ">>": lambda left, right: left & 0xFFFF == right}


def _compare(op, left, right):
    fold, op = op.startswith("~"), op.lstrip("~")
    if isinstance(left, int) or isinstance(right, int):
        left, right = _as_integer(left), _as_integer(right)
        if left is None or right is None:
            # An integer against a value that is none: false, but for <>.
            return op == "<>"
        return BITWISE[op](left, right) if op in BITWISE else ORDER[op](left, right)
    if fold:
        left, right = left.lower(), right.lower()
    return SUBSTRING[op](left, right) if op in SUBSTRING else ORDER[op](left, right)


def holds(tree, properties):
    kind = tree[0]
    if kind == "true":
        return True
    if kind == "NOT":
        return not holds(tree[1], properties)
    if kind in LOGICAL:
        left, right = holds(tree[1], properties), holds(tree[2], properties)
        return {"AND": left and right, "OR": left or right, "XOR": left != right,
                "EQV": left == right, "IMP": (not left) or right}[kind]
    if kind == "compare":
        return _compare(tree[1], _value(tree[2], properties), _value(tree[3], properties))
    value = _value(tree, properties)
    return bool(value) if not isinstance(value, int) else value != 0


# Each condition parsed once, with the names it reads; each answer kept by
# the values of those names alone (the walks ask the same thing thousands
# of times).
_parsed = {}
_answers = {}


def evaluate(condition, properties):
    """Whether the condition holds for these property values."""
    if condition not in _parsed:
        _parsed[condition] = parse(condition), sorted(properties_named(condition))
    tree, names = _parsed[condition]
    key = (condition,) + tuple(properties.get(name, "") for name in names)
    if key not in _answers:
        _answers[key] = holds(tree, properties)
    return _answers[key]


def properties_named(condition):
    """The property names a condition reads (its string literals are text,
    not names)."""
    return {value for kind, value in tokens(condition) if kind == "word"} if condition.strip() else set()
