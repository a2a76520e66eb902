"""What an expression may say, read with Python's parser and checked node
by node against a short list: numbers, names of fields and signals,
arithmetic, comparisons and a table of functions. Nothing is ever run as
Python: the checked tree becomes a tree of our own, which `evaluate`
computes with NumPy."""

from __future__ import annotations

import ast
import math
import sys
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy

MAX_LENGTH = 2000  # characters
MAX_NODES = 500  # of the parsed tree: names, numbers, operators and calls

# name: (function, number of arguments)
FUNCTIONS: Dict[str, Tuple[Callable[..., numpy.ndarray], int]] = {
    "abs": (numpy.abs, 1), "sqrt": (numpy.sqrt, 1), "exp": (numpy.exp, 1), "log": (numpy.log, 1),
    "log10": (numpy.log10, 1), "sin": (numpy.sin, 1), "cos": (numpy.cos, 1), "tan": (numpy.tan, 1),
    "asin": (numpy.arcsin, 1), "acos": (numpy.arccos, 1), "atan": (numpy.arctan, 1),
    "degrees": (numpy.degrees, 1), "radians": (numpy.radians, 1), "floor": (numpy.floor, 1),
    "ceil": (numpy.ceil, 1), "round": (numpy.round, 1), "sign": (numpy.sign, 1),
    "atan2": (numpy.arctan2, 2), "hypot": (numpy.hypot, 2), "min": (numpy.fmin, 2), "max": (numpy.fmax, 2),
}
OPERATORS: Dict[type, Callable[[numpy.ndarray, numpy.ndarray], numpy.ndarray]] = {
    ast.Add: numpy.add, ast.Sub: numpy.subtract, ast.Mult: numpy.multiply, ast.Div: numpy.true_divide,
    ast.Pow: numpy.power, ast.Mod: numpy.mod,  # mod: the sign of the divisor, as Python's %
}
COMPARISONS: Dict[type, Callable[[numpy.ndarray, numpy.ndarray], numpy.ndarray]] = {
    ast.Lt: numpy.less, ast.LtE: numpy.less_equal, ast.Gt: numpy.greater, ast.GtE: numpy.greater_equal,
    ast.Eq: numpy.equal, ast.NotEq: numpy.not_equal,
}
SIGNS = "+ - * / ** %"


class ExpressionError(ValueError):
    """An expression that cannot be read or computed, with the reason."""


class Reference(NamedTuple):
    """A name in an expression: `parts` are its dotted names ("ATT", "Roll"),
    `instance` a subscript after the first part (VIBE[1].VibeX) and `item`
    one after the last (q[0], battery.voltage[1])."""
    parts: Tuple[str, ...]
    instance: Optional[int]
    item: Optional[int]

    @property
    def text(self) -> str:
        first = self.parts[0] + ("" if self.instance is None else f"[{self.instance}]")
        return ".".join((first, *self.parts[1:])) + ("" if self.item is None else f"[{self.item}]")


class Call(NamedTuple):
    function: Callable[..., numpy.ndarray]
    arguments: Tuple["Node", ...]


Node = Union[float, Reference, Call]


def parse(text: str) -> Node:
    """The checked tree of `text`; raises ExpressionError saying what is wrong."""
    if not text.strip():
        raise ExpressionError("the expression is empty")
    if len(text) > MAX_LENGTH:
        raise ExpressionError(f"the expression is longer than {MAX_LENGTH} characters")
    try:
        tree = ast.parse(text.strip(), mode="eval")
    except SyntaxError as error:
        where = f" at character {error.offset}" if error.offset else ""
        raise ExpressionError(f"cannot read the expression{where}: {error.msg}") from None
    except (RecursionError, MemoryError, ValueError):
        raise ExpressionError("the expression is nested too deeply to read") from None
    if sum(1 for _ in ast.walk(tree)) > MAX_NODES:
        raise ExpressionError(f"the expression has more than {MAX_NODES} parts")
    try:
        return _node(tree.body)
    except RecursionError:
        raise ExpressionError("the expression is nested too deeply to read") from None


def references(node: Node) -> List[Reference]:
    """The names of `node`, each once, in reading order."""
    found: List[Reference] = []
    if isinstance(node, Reference):
        found.append(node)
    elif isinstance(node, Call):
        for argument in node.arguments:
            found += [r for r in references(argument) if r not in found]
    return found


def _node(node: ast.AST) -> Node:
    if isinstance(node, ast.Constant):
        if isinstance(node.value, (int, float)) and not isinstance(node.value, bool):
            return _number(node, node.value)
        raise ExpressionError(f"{node.value!r} is not a number: an expression computes with numbers only")
    if isinstance(node, ast.BinOp) and type(node.op) in OPERATORS:
        return Call(OPERATORS[type(node.op)], (_node(node.left), _node(node.right)))
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        operand = _node(node.operand)
        return Call(numpy.negative, (operand,)) if isinstance(node.op, ast.USub) else operand
    if isinstance(node, ast.Compare) and len(node.ops) == 1 and type(node.ops[0]) in COMPARISONS:
        return Call(COMPARISONS[type(node.ops[0])], (_node(node.left), _node(node.comparators[0])))
    if isinstance(node, ast.Call):
        return _call(node)
    if isinstance(node, (ast.Name, ast.Attribute, ast.Subscript)):
        return _reference(node)
    raise ExpressionError(f"{_shown(node)!r} is not allowed: use numbers, fields (ATT.Roll), signals "
                          f"(battery.voltage), {SIGNS}, comparisons and the functions "
                          f"{', '.join(sorted(FUNCTIONS))}")


def _number(node: ast.Constant, number: Union[int, float]) -> float:
    """A number as the float it is computed with; one past the largest float
    (an integer of hundreds of digits, 1e999 read as infinity) is refused."""
    try:
        value = float(number)
    except OverflowError:
        value = math.inf
    if math.isinf(value):
        written = str(number) if isinstance(number, int) else _shown(node)
        shown = written if len(written) <= 24 else f"{written[:20]}… ({len(written)} digits)"
        raise ExpressionError(f"the number {shown} is too large: the largest is about {sys.float_info.max:.3g}")
    return value


def _call(node: ast.Call) -> Call:
    name = node.func.id if isinstance(node.func, ast.Name) else _shown(node.func)
    found = FUNCTIONS.get(name)
    if found is None:
        raise ExpressionError(f"no function {name!r}; the functions are {', '.join(sorted(FUNCTIONS))}")
    function, count = found
    if node.keywords or len(node.args) != count or any(isinstance(a, ast.Starred) for a in node.args):
        raise ExpressionError(f"{name} takes {count} argument{'s' if count > 1 else ''}")
    return Call(function, tuple(_node(a) for a in node.args))


def _reference(node: ast.AST) -> Reference:
    item = None
    if isinstance(node, ast.Subscript):
        item = _whole_number(node.slice)
        node = node.value
    parts: List[str] = []
    instance = None
    while isinstance(node, ast.Attribute):
        parts.insert(0, node.attr)
        node = node.value
    if isinstance(node, ast.Subscript) and parts:
        instance = _whole_number(node.slice)
        node = node.value
    if not isinstance(node, ast.Name):
        raise ExpressionError(f"{_shown(node)!r} is not a field or signal name")
    return Reference((node.id, *parts), instance, item)


def _whole_number(node: ast.AST) -> int:
    if isinstance(node, ast.Constant) and isinstance(node.value, int) and not isinstance(node.value, bool) \
            and 0 <= node.value < 1 << 31:
        return node.value
    raise ExpressionError(f"[{_shown(node)}] must be a whole number: an instance or an item of an array")


def _shown(node: ast.AST) -> str:
    try:
        return ast.unparse(node)[:60]
    except Exception:  # noqa: BLE001 (only the message is at stake)
        return type(node).__name__
