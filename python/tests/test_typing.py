"""The package's documentation and type stubs cover what it offers: a docstring for every
public function, class, method and property that mentions each parameter, and stubs
(vexel/__init__.pyi) that name every public attribute of the module and of its classes with the
same parameters."""

import ast
import inspect
import pathlib

import vexel

STUBS = pathlib.Path(vexel.__file__).with_name("__init__.pyi")


def public(names):
    return sorted(n for n in names if not n.startswith("_"))


def public_items():
    """(qualified name, object) of every public function, class, method and property."""
    for name in vexel.__all__:
        item = getattr(vexel, name)
        yield name, item
        if inspect.isclass(item):
            for attribute, member in vars(item).items():
                if attribute.startswith("_") or attribute in ("args", "with_traceback"):
                    continue
                if callable(member) or isinstance(member, property):
                    yield f"{name}.{attribute}", member


def parameters(item):
    function = item.fget if isinstance(item, property) else item
    if inspect.isclass(function) or not callable(function):
        return []
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return []
    return [p for p in signature.parameters if p not in ("self", "cls")]


def stub_parameters(function):
    arguments = function.args
    extra = [a for a in (arguments.vararg, arguments.kwarg) if a is not None]
    return [a.arg for a in arguments.posonlyargs + arguments.args + arguments.kwonlyargs + extra]


def stub_tree():
    """The stubs' module-level names, and each stub class's attribute names and the parameter
    names of each of its functions."""
    tree = ast.parse(STUBS.read_text())
    names, classes = set(), {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members[item.name] = stub_parameters(item)
                elif isinstance(item, ast.AnnAssign):
                    members[item.target.id] = []
            classes[node.name] = members
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
            classes.setdefault("", {})[node.name] = stub_parameters(node)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names, classes


def test_docstrings_name_every_parameter():
    assert vexel.__doc__ and len(vexel.__doc__) > 200
    missing = []
    for name, item in public_items():
        doc = inspect.getdoc(item) or ""
        if not doc.strip():
            missing.append(f"{name}: no docstring")
            continue
        for parameter in parameters(item):
            if f"``{parameter}``" not in doc and f"``{parameter}=" not in doc:
                missing.append(f"{name}: parameter {parameter} not described")
    assert missing == []


def test_stubs_name_every_public_attribute_with_its_parameters():
    names, classes = stub_tree()
    assert set(vexel.__all__) | {"__version__"} <= names
    # Every public name the module itself defines (not its imports).
    own = {n for n in public(dir(vexel)) if not inspect.ismodule(getattr(vexel, n))
           and getattr(getattr(vexel, n), "__module__", None) in ("vexel", "vexel._vexel")}
    assert own and own <= names, own - names
    different = []
    for name in vexel.__all__:
        item = getattr(vexel, name)
        if inspect.isclass(item):
            stub = classes.get(name, {})
            wanted = public(vars(item)) if not issubclass(item, tuple) else list(item._fields)
            for attribute in wanted:
                if attribute in ("args", "with_traceback"):
                    continue
                if attribute not in stub:
                    different.append(f"{name}.{attribute} has no stub")
                elif callable(getattr(item, attribute)) and \
                        stub[attribute][1:] != parameters(getattr(item, attribute)):
                    different.append(f"{name}.{attribute}: stub parameters differ")
        elif stub_parameters := classes.get("", {}).get(name):
            if stub_parameters != parameters(item):
                different.append(f"{name}: stub parameters differ")
        else:
            different.append(f"{name} has no stub")
    assert different == []
