"""A griffe extension for the API reference of `_quillon`: the stub gives
each name its signature and types, the built module its docstring (the
stub carries none)."""

from __future__ import annotations

import importlib
from typing import Any

import griffe


class RuntimeDocstrings(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **_kw: Any) -> None:
        if pkg.name != "_quillon":
            return
        module = importlib.import_module("_quillon")
        self.fill(pkg, module)

    def fill(self, obj: griffe.Object, live: Any) -> None:
        for name, member in obj.members.items():
            if member.is_alias or name.startswith("_"):
                continue
            value = getattr(live, name, None)
            if value is None:
                continue
            doc = getattr(value, "__doc__", None)
            documented = member.is_class or member.is_function or (member.is_attribute and "property" in member.labels)
            if member.docstring is None and isinstance(doc, str) and documented:
                # A class's own text, not one inherited from `object`.
                if not member.is_class or "__doc__" in vars(value):
                    member.docstring = griffe.Docstring(doc, parent=member)
            if member.is_class:
                self.fill(member, value)
