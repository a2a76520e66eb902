"""The layering of `quillon_tools`, read from its source with `ast`: only the
format packages (and the byte sniffing of `reading/`) branch on a log's
protocol; modules import down the floors only, never in a cycle, and no
module takes another package's private names.

`pytest -k layering -s` prints every breach found, the tolerated ones too."""

import ast
import pathlib
from collections import defaultdict
from typing import Dict, Iterator, List, NamedTuple, Optional, Set, Tuple

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "src" / "quillon_tools"
PACKAGE = "quillon_tools"
EXTENSION = f"{PACKAGE}._columnar"  # compiled: no source to parse, it imports nothing of the package

# The floors, bottom to top, by top-level name (a folder or a module of the
# package): a module imports modules of its own floor or of floors below.
FLOORS: Tuple[Tuple[str, ...], ...] = (
    ("_columnar",),
    ("errors", "names", "protocols", "progress"),
    ("tables", "firmware"),
    ("reading",),
    ("formats",),
    ("log",),
    ("signals",),
    ("expressions",),  # formulas over tables and signals
    ("flights",),
    ("info", "checks", "diagnosis", "tuning", "flight_health"),
    ("api",),
    ("report", "view", "export", "fleet", "cli", "mcp", "dask", "__main__", "__init__"),
)
FLOOR = {name: level for level, names in enumerate(FLOORS) for name in names}

# Where knowing the protocol is the job: the formats, the sniffing of bytes,
# and the protocols' own names.
MAY_BRANCH = ("formats/", "reading/sniff.py", "protocols.py")
# Code on its way off the protocol or down the floors, whose breaches are
# printed rather than failed while it moves: none now.
ALLOWED_FOR_NOW: Set[str] = set()

PROTOCOL_NAMES = {"DATA_FLASH", "MAVLINK", "ULOG"}
PROTOCOL_TEXTS = {"data_flash", "mavlink", "ulog"}
# Attributes that flag a format (`data.mavlink`, `sniffer.ulog`).
FLAG_ATTRIBUTES = {f"{prefix}{name}" for prefix in ("", "_") for name in PROTOCOL_TEXTS}

FUNCTIONS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)


class Import(NamedTuple):
    source: str  # the importing module
    target: str  # the module imported (or holding the names imported)
    line: int
    lazy: bool  # inside a function
    names: Tuple[str, ...]  # the names taken from `target` that are not modules


def _module_name(path: pathlib.Path) -> str:
    parts = [PACKAGE, *path.relative_to(SOURCE).with_suffix("").parts]
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _relative(path: pathlib.Path) -> str:
    return path.relative_to(SOURCE).as_posix()


MODULES: Dict[str, pathlib.Path] = {_module_name(p): p for p in sorted(SOURCE.rglob("*.py"))}
KNOWN = set(MODULES) | {EXTENSION}
TREES = {name: ast.parse(path.read_text(encoding="utf-8"), str(path)) for name, path in MODULES.items()}


def _is_package(module: str) -> bool:
    return MODULES.get(module, SOURCE).name == "__init__.py"


def _package_of(module: str) -> str:
    return module if _is_package(module) else module.rpartition(".")[0]


def _held(name: str) -> str:
    """The module a dotted name lives in: itself, else its nearest known parent."""
    while name not in KNOWN and "." in name:
        name = name.rpartition(".")[0]
    return name


def _imports(module: str, tree: ast.AST) -> List[Import]:
    """The imports of the package's modules in `module`'s source `tree`."""
    found = []

    def visit(node: ast.AST, lazy: bool) -> None:
        for child in ast.iter_child_nodes(node):
            inner = lazy or isinstance(child, FUNCTIONS)
            if isinstance(child, ast.Import):
                found.extend(Import(module, _held(alias.name), child.lineno, lazy, ())
                             for alias in child.names if alias.name.split(".")[0] == PACKAGE)
            elif isinstance(child, ast.ImportFrom):
                if child.level:
                    base = _package_of(module).split(".")
                    base = base[:len(base) - child.level + 1]
                    base_name = ".".join(base + ([child.module] if child.module else []))
                else:
                    base_name = child.module or ""
                if base_name.split(".")[0] != PACKAGE:
                    continue
                names = []
                for alias in child.names:
                    if f"{base_name}.{alias.name}" in KNOWN:
                        found.append(Import(module, f"{base_name}.{alias.name}", child.lineno, lazy, ()))
                    else:
                        names.append(alias.name)
                if names:
                    found.append(Import(module, _held(base_name), child.lineno, lazy, tuple(names)))
            visit(child, inner)

    visit(tree, False)
    return found


IMPORTS = [found for module, tree in TREES.items() for found in _imports(module, tree)]


def _top(module: str) -> str:
    """The top-level name a module sits under: its folder, or itself."""
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else "__init__"


def _file(module: str) -> str:
    return _relative(MODULES[module]) if module in MODULES else module


def _allowed_for_now(module: str) -> bool:
    return any(_file(module) == entry or _file(module).startswith(entry) for entry in ALLOWED_FOR_NOW)


def _tolerated(found: Import) -> bool:
    """An import from or of code allowed for now: it goes when that code is done."""
    return _allowed_for_now(found.source) or _allowed_for_now(found.target)


def _report(rule: str, breaches: List[Tuple[bool, str]]) -> None:
    """Prints every breach of `rule`, then fails on those not tolerated:
    `breaches` holds (tolerated for now, text) pairs."""
    failing = [text for tolerated, text in breaches if not tolerated]
    print(f"\n{rule}: {len(breaches)} found, {len(breaches) - len(failing)} tolerated for now")
    for tolerated, text in breaches:
        print(f"  {'(for now) ' if tolerated else ''}{text}")
    assert not failing, f"{rule}:\n" + "\n".join(failing)


# Protocol branches ---------------------------------------------------------------

def _is_protocol(node: ast.AST) -> bool:
    """A protocol's name or text, or a literal collection holding one."""
    if isinstance(node, ast.Name):
        return node.id in PROTOCOL_NAMES
    if isinstance(node, ast.Attribute):
        return node.attr in PROTOCOL_NAMES
    if isinstance(node, ast.Constant):
        return isinstance(node.value, str) and node.value in PROTOCOL_TEXTS
    if isinstance(node, (ast.Tuple, ast.List, ast.Set)):
        return any(_is_protocol(element) for element in node.elts)
    return False


def protocol_branches(tree: ast.AST) -> List[Tuple[int, str]]:
    """(line, what) of each place that tells protocols apart."""
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Compare) and any(_is_protocol(n) for n in (node.left, *node.comparators)):
            found.append((node.lineno, "compares with a protocol"))
        elif isinstance(node, ast.Dict) and any(key is not None and _is_protocol(key) for key in node.keys):
            found.append((node.lineno, "a table keyed by protocol"))
        elif isinstance(node, ast.Subscript) and _is_protocol(node.slice):
            found.append((node.lineno, "looks up a protocol's entry"))
        elif isinstance(node, ast.Attribute) and node.attr in FLAG_ATTRIBUTES:
            found.append((node.lineno, f"reads the flag .{node.attr}"))
        elif isinstance(node, ast.MatchValue) and _is_protocol(node.value):
            found.append((node.lineno, "matches a protocol"))
    return sorted(set(found))


def test_protocol_branches_are_found():
    """The finder sees each form of branch, and not the protocol's plain use."""
    tree = ast.parse(
        "if log.protocol == MAVLINK: pass\n"
        "x = protocol in (DATA_FLASH, protocols.ULOG)\n"
        "CLOCKS = {DATA_FLASH: 1}\n"
        "y = GATHERED[ULOG]\n"
        "z = data.mavlink or sniffer.ulog\n"
        "w = 'ulog' != kind\n"
        "read_log(path, protocol=kind)\n"
        "names = ('DATA_FLASH', 'MAVLINK')\n")
    assert [line for line, _ in protocol_branches(tree)] == [1, 2, 3, 4, 5, 5, 6]


def test_only_the_formats_branch_on_the_protocol():
    breaches = []
    for module, tree in TREES.items():
        path = _file(module)
        if path.startswith(MAY_BRANCH):
            continue
        breaches += [(_allowed_for_now(module), f"{path}:{line}: {what}")
                     for line, what in protocol_branches(tree)]
    _report("protocol branches", breaches)


# What the format packages answer ---------------------------------------------------

FORMAT_PACKAGES = ("dataflash", "mavlink", "ulog")
# Where code keeps the package of a log's format: `view.format`, `self._format`.
FORMAT_HOLDERS = {"format", "_format"}


def _own_nodes(scope: ast.AST) -> Iterator[ast.AST]:
    """The nodes of a function's (or a module's) own code, not of the functions within."""
    for child in ast.iter_child_nodes(scope):
        if not isinstance(child, FUNCTIONS):
            yield child
            yield from _own_nodes(child)


def _is_format_for(node: ast.AST) -> bool:
    return isinstance(node, ast.Call) and (getattr(node.func, "id", None) == "format_for"
                                           or getattr(node.func, "attr", None) == "format_for")


def format_questions(tree: ast.AST) -> Set[str]:
    """The names read off a format package: attributes of `view.format`,
    `self._format` or of what a function got from `format_for`."""
    found = set()
    scopes = [node for node in ast.walk(tree) if isinstance(node, FUNCTIONS)]
    for scope in [tree, *scopes]:
        own = list(_own_nodes(scope))
        packages = {target.id for node in own if isinstance(node, ast.Assign) and _is_format_for(node.value)
                    for target in node.targets if isinstance(target, ast.Name)}
        for node in own:
            if not isinstance(node, ast.Attribute):
                continue
            held = node.value
            if isinstance(held, ast.Name) and held.id in packages:
                found.add(node.attr)
            elif (isinstance(held, ast.Attribute) and held.attr in FORMAT_HOLDERS
                  and isinstance(held.value, (ast.Name, ast.Attribute))):
                found.add(node.attr)
    return found


def test_format_questions_are_found():
    tree = ast.parse(
        "def f(protocol, view, row):\n"
        "    found = format_for(protocol)\n"
        "    return found.BOOT_CLOCKS, view.format.SOURCES, self._format.as_raw, row.format.upper, found\n"
        "def g(found):\n"
        "    return found.append\n")
    assert format_questions(tree) == {"BOOT_CLOCKS", "SOURCES", "as_raw", "upper"}


def test_every_format_package_answers_what_its_callers_ask():
    """A name read off a log's format package is one all three define, in
    their package's `__init__.py`."""
    defined = {}
    for name in FORMAT_PACKAGES:
        tree = TREES[f"{PACKAGE}.formats.{name}"]
        defined[name] = {target.id for node in tree.body if isinstance(node, (ast.Assign, ast.AnnAssign))
                         for target in (node.targets if isinstance(node, ast.Assign) else [node.target])
                         if isinstance(target, ast.Name)}
        defined[name] |= {node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
        defined[name] |= {alias.asname or alias.name for node in tree.body if isinstance(node, ast.ImportFrom)
                          for alias in node.names}
    missing = []
    for module, tree in TREES.items():
        if _file(module).startswith("formats/"):
            continue
        for asked in sorted(format_questions(tree)):
            missing += [f"{_file(module)}: {asked} is not defined by formats/{name}"
                        for name in FORMAT_PACKAGES if asked not in defined[name]]
    assert not missing, "\n".join(missing)


# Imports -------------------------------------------------------------------------

def _cycles(edges: Dict[str, Set[str]]) -> List[List[str]]:
    """The strongly connected groups of more than one node (Tarjan's)."""
    index: Dict[str, int] = {}
    low: Dict[str, int] = {}
    stack: List[str] = []
    on_stack: Set[str] = set()
    groups = []

    def connect(node: str) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for after in sorted(edges.get(node, ())):
            if after not in index:
                connect(after)
                low[node] = min(low[node], low[after])
            elif after in on_stack:
                low[node] = min(low[node], index[after])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for node in sorted(edges):
        if node not in index:
            connect(node)
    return groups


def test_imports_are_read_as_the_interpreter_resolves_them():
    tree = ast.parse(
        "import os\n"
        "from ..formats import format_for, dataflash\n"
        "from .. import _columnar\n"
        "import quillon_tools.tables.track\n"
        "def later():\n"
        "    from ..log import _Pass\n")
    assert _imports(f"{PACKAGE}.fleet.somewhere", tree) == [
        Import(f"{PACKAGE}.fleet.somewhere", f"{PACKAGE}.formats.dataflash", 2, False, ()),
        Import(f"{PACKAGE}.fleet.somewhere", f"{PACKAGE}.formats", 2, False, ("format_for",)),
        Import(f"{PACKAGE}.fleet.somewhere", EXTENSION, 3, False, ()),
        Import(f"{PACKAGE}.fleet.somewhere", f"{PACKAGE}.tables.track", 4, False, ()),
        Import(f"{PACKAGE}.fleet.somewhere", f"{PACKAGE}.log", 6, True, ("_Pass",)),
    ]


def test_cycles_are_found():
    assert _cycles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [["a", "b", "c"]]
    assert _cycles({"a": {"b"}, "b": set()}) == []


def _cycle_breaches(by: Dict[Tuple[str, str], List[Import]], what: str) -> List[Tuple[bool, str]]:
    """A cycle of the graph whose edges `by` holds, with the imports that
    close it; tolerated while one of its edges is made only of imports from
    code allowed for now."""
    edges: Dict[str, Set[str]] = defaultdict(set)
    for source, target in by:
        edges[source].add(target)
    found = []
    for group in _cycles(edges):
        members = set(group)
        inside = [found for (source, target), imports in sorted(by.items())
                  if source in members and target in members for found in imports]
        tolerated = any(all(_tolerated(i) for i in imports)
                        for (source, target), imports in by.items() if source in members and target in members)
        lines = "; ".join(f"{_file(i.source)}:{i.line} -> {i.target}" for i in inside)
        found.append((tolerated, f"{what} {' <-> '.join(group)}: {lines}"))
    return found


def test_no_module_imports_in_a_cycle():
    by: Dict[Tuple[str, str], List[Import]] = defaultdict(list)
    for found in IMPORTS:
        if found.target != found.source:
            by[found.source, found.target].append(found)
    _report("module cycles", _cycle_breaches(by, "modules"))


def test_no_folder_imports_in_a_cycle():
    by: Dict[Tuple[str, str], List[Import]] = defaultdict(list)
    for found in IMPORTS:
        if _top(found.source) != _top(found.target):
            by[_top(found.source), _top(found.target)].append(found)
    _report("folder cycles", _cycle_breaches(by, "folders"))


def test_no_private_name_is_imported_from_another_package():
    breaches = [(_tolerated(found), f"{_file(found.source)}:{found.line}: {name} from {found.target}")
                for found in IMPORTS for name in found.names
                if name.startswith("_") and not name.startswith("__")
                and _package_of(found.target) != _package_of(found.source)]
    _report("private names", breaches)


def _floor(module: str) -> Optional[int]:
    return FLOOR.get(_top(module))


def test_every_top_level_name_has_a_floor():
    tops = {_top(module) for module in MODULES}
    assert not tops - set(FLOOR), f"give these a floor in FLOORS: {sorted(tops - set(FLOOR))}"


def test_imports_go_down_the_floors():
    breaches = []
    for found in IMPORTS:
        source, target = _floor(found.source), _floor(found.target)
        if source is not None and target is not None and target > source:
            how = "lazily imports" if found.lazy else "imports"
            breaches.append((_tolerated(found),
                             f"{_file(found.source)}:{found.line}: {how} {found.target}, a floor above"))
    _report("upward imports", breaches)
