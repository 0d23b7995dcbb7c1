#!/usr/bin/env python3
"""Write the C++ header of the module's docstrings from its type stub.

    python3 tools/stub_docs.py src/python/quorvane.pyi OUT/python/docs.hpp

The stub is the one place where the module's texts are written: the module, every
class, constructor, method, property and function carries its docstring there. Each
becomes a constant of namespace quorvane::python::docs, named k plus the CamelCase of
its qualified name (Heuristic.hff: kHeuristicHff, SearchSpace.__init__:
kSearchSpaceInit, the module: kModule), which the binding tables use. A callable's
text begins with the signature line that the binding layer reads its parameters from
and that inspect.signature shows, written from the stub's own parameter list:

    module function     name(a, b=None)      method     name(self, a)
    classmethod         name(a)              __init__   __init__(self, a)
    class with an __init__: ClassName(a) before the class's own text

Properties and special methods other than __init__ (__repr__) get none. A definition
with a parameter typed Never stands for a call the module refuses (the `__new__` and
`__init__` of a class without a constructor) and takes no docstring; so do private
names and property setters.

Anything the script cannot turn into a docstring of the module (a public definition
without one, a docstring where none belongs, a parameter the signature line cannot
carry) is reported as FILE:LINE: message, nothing is written, and the exit status is 1.
"""

from __future__ import annotations

import ast
import os
import sys
from pathlib import Path

# The defaults the binding layer can read back from a signature line.
READABLE_DEFAULTS = (None, True, False)


class StubError(Exception):
    def __init__(self, node: ast.AST, message: str) -> None:
        super().__init__(f"{getattr(node, 'lineno', 1)}: {message}")


def constant_name(qualname: str) -> str:
    parts = qualname.replace(".", "_").split("_")
    return "k" + "".join(p[:1].upper() + p[1:] for p in parts if p)


def docstring(node: ast.AST) -> str | None:
    """The node's docstring as the module gives it: the lines after the first lose
    their common indentation, and closing quotes on a line of their own end the text
    with a newline."""
    body = getattr(node, "body", [])
    if not (body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant)):
        return None
    raw = body[0].value.value
    if not isinstance(raw, str):
        return None
    if not raw.strip():
        raise StubError(body[0], "empty docstring")
    lines = raw.expandtabs().split("\n")
    indent = min((len(line) - len(line.lstrip()) for line in lines[1:] if line.strip()), default=0)
    return "\n".join([lines[0]] + [line[indent:] if line.strip() else "" for line in lines[1:]])


def decorators(fn: ast.FunctionDef) -> list[str]:
    return [ast.unparse(d) for d in fn.decorator_list]


def refused(fn: ast.FunctionDef) -> bool:
    """Whether the definition stands for a call the module refuses."""
    args = fn.args.posonlyargs + fn.args.args + fn.args.kwonlyargs
    return any(a.annotation is not None and ast.unparse(a.annotation) == "Never" for a in args)


def parameter_list(fn: ast.FunctionDef, drop_first: bool) -> str:
    args = fn.args
    if args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg:
        raise StubError(fn, f"{fn.name}: a signature line carries plain parameters only, not /, * or **")
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    parts = []
    for arg, default in list(zip(args.args, defaults))[1 if drop_first else 0 :]:
        if default is None:
            parts.append(arg.arg)
        elif isinstance(default, ast.Constant) and any(default.value is v for v in READABLE_DEFAULTS):
            parts.append(f"{arg.arg}={default.value}")
        else:
            raise StubError(default, f"{fn.name}: the default of {arg.arg} is not None, True or False")
    return ", ".join(parts)


def with_signature(head: str, text: str) -> str:
    return f"{head}\n--\n\n{text}"


def require(node: ast.AST, qualname: str, text: str | None) -> str:
    if text is None:
        raise StubError(node, f"{qualname} has no docstring")
    return text


def refuse(node: ast.AST, qualname: str, why: str) -> None:
    if docstring(node) is not None:
        raise StubError(node, f"{qualname} takes no docstring: {why}")


def member_text(cls: str, fn: ast.FunctionDef) -> str | None:
    """The text of one member of a class, or None for a member that takes none."""
    qualname = f"{cls}.{fn.name}"
    kinds = decorators(fn)
    if fn.name == "__new__" or refused(fn):
        refuse(fn, qualname, "the module refuses the call")
        return None
    if any(k.endswith((".setter", ".deleter")) for k in kinds):
        refuse(fn, qualname, "the getter's docstring is the property's")
        return None
    text = require(fn, qualname, docstring(fn))
    if kinds == ["property"]:
        return text
    if kinds == ["classmethod"]:
        return with_signature(f"{fn.name}({parameter_list(fn, drop_first=True)})", text)
    if kinds:
        raise StubError(fn, f"{qualname}: cannot document a member decorated with {', '.join(kinds)}")
    if fn.name.startswith("__") and fn.name != "__init__":
        return text
    return with_signature(f"{fn.name}({parameter_list(fn, drop_first=False)})", text)


def add(out: dict[str, str], node: ast.AST, qualname: str, text: str) -> None:
    if qualname in out:
        raise StubError(node, f"{qualname} is documented twice")
    name = constant_name(qualname)
    for other in out:
        if constant_name(other) == name:
            raise StubError(node, f"{qualname} and {other} would both be {name}")
    out[qualname] = text


def class_texts(cls: ast.ClassDef, out: dict[str, str]) -> None:
    members: dict[str, str] = {}
    init = None
    for item in cls.body:
        if isinstance(item, ast.ClassDef):
            raise StubError(item, f"{cls.name}.{item.name}: the module has no nested classes")
        if not isinstance(item, ast.FunctionDef):
            continue
        text = member_text(cls.name, item)
        if text is None:
            continue
        add(members, item, f"{cls.name}.{item.name}", text)
        if item.name == "__init__":
            init = item
    text = require(cls, cls.name, docstring(cls))
    if init is not None:
        text = with_signature(f"{cls.name}({parameter_list(init, drop_first=True)})", text)
    add(out, cls, cls.name, text)
    for qualname, text in members.items():
        add(out, cls, qualname, text)


def private_definition(node: ast.AST) -> None:
    """A private class or function (the binding layer's base classes) documents nothing."""
    for inner in ast.walk(node):
        if isinstance(inner, (ast.ClassDef, ast.FunctionDef)):
            refuse(inner, inner.name, "it is not part of the module")


def stray_texts(tree: ast.Module) -> None:
    """A string statement anywhere but first in a module, class or function is no docstring."""
    for node in ast.walk(tree):
        for i, stmt in enumerate(getattr(node, "body", [])):
            first = i == 0 and isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef))
            if not first and isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Constant):
                if isinstance(stmt.value.value, str):
                    raise StubError(stmt, "a text that is no docstring: a docstring comes first in its body")


def texts(tree: ast.Module) -> dict[str, str]:
    """Qualified name (the module: "module") -> docstring, in the stub's order."""
    stray_texts(tree)
    out = {"module": require(tree, "the module", docstring(tree))}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and node.name.startswith("_"):
            private_definition(node)
        elif isinstance(node, ast.ClassDef):
            class_texts(node, out)
        elif isinstance(node, ast.FunctionDef):
            if node.decorator_list:
                raise StubError(node, f"{node.name}: cannot document a decorated module function")
            text = require(node, node.name, docstring(node))
            head = f"{node.name}({parameter_list(node, drop_first=False)})"
            add(out, node, node.name, with_signature(head, text))
        elif isinstance(node, ast.AsyncFunctionDef):
            raise StubError(node, f"{node.name}: the module has no coroutines")
    return out


def c_literal(line: str) -> str:
    out = []
    for byte in line.encode():
        char = chr(byte)
        if char in '\\"':
            out.append("\\" + char)
        elif char == "\n":
            out.append("\\n")
        elif 0x20 <= byte < 0x7F:
            out.append(char)
        else:
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def header(stub_name: str, docs: dict[str, str]) -> str:
    out = [
        f"// Generated by tools/stub_docs.py from {stub_name}: edit the docstrings there.",
        "#pragma once",
        "",
        "namespace quorvane::python::docs {",
    ]
    for qualname, text in docs.items():
        name = constant_name(qualname)
        lines = text.split("\n")
        literals = [c_literal(line + "\n") for line in lines[:-1]]
        if lines[-1]:
            literals.append(c_literal(lines[-1]))
        out += ["", f"// {qualname}", f"inline constexpr const char* {name} ="]
        out += [f"    {literal}" for literal in literals[:-1]] + [f"    {literals[-1]};"]
    out += ["", "}  // namespace quorvane::python::docs", ""]
    return "\n".join(out)


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(f"usage: {argv[0]} STUB HEADER", file=sys.stderr)
        return 2
    stub, target = Path(argv[1]), Path(argv[2])
    try:
        text = header(stub.name, texts(ast.parse(stub.read_text(encoding="utf-8"), filename=str(stub))))
    except StubError as e:
        print(f"{stub}:{e}", file=sys.stderr)
        return 1
    except SyntaxError as e:
        print(f"{stub}:{e.lineno}: {e.msg}", file=sys.stderr)
        return 1
    target.parent.mkdir(parents=True, exist_ok=True)
    partial = target.with_name(target.name + ".partial")
    partial.write_text(text, encoding="utf-8")
    os.replace(partial, target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
