"""devcloud_lib's modules import one way: no module reaches itself again
through its imports, whether at the top or inside a function."""

import ast
import os
import unittest

LIB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "devcloud_lib")


def imports_of(source):
    """The devcloud_lib modules one module's source imports."""
    out = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            if node.module:  # from .x import y
                out.add(node.module.split(".")[0])
            else:  # from . import x, y
                out.update(a.name for a in node.names)
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("devcloud_lib."):
            out.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            out.update(a.name.split(".")[1] for a in node.names if a.name.startswith("devcloud_lib."))
    return out


def import_graph(directory):
    names = {f[:-3] for f in os.listdir(directory) if f.endswith(".py") and f != "__init__.py"}
    graph = {}
    for name in names:
        with open(os.path.join(directory, name + ".py"), encoding="utf-8") as f:
            graph[name] = sorted(imports_of(f.read()) & names)
    return graph


def circles(graph):
    """One import path per circle found (depth-first, each back edge)."""
    found, state, stack = [], {}, []

    def visit(n):
        state[n] = "open"
        stack.append(n)
        for m in graph.get(n, ()):
            if state.get(m) == "open":
                found.append(stack[stack.index(m):] + [m])
            elif m not in state:
                visit(m)
        stack.pop()
        state[n] = "done"

    for n in sorted(graph):
        if n not in state:
            visit(n)
    return found


class ImportTest(unittest.TestCase):
    def test_the_checker_sees_circles_at_any_depth(self):
        src = {
            "a": "from . import b\n",
            "b": "def f():\n    from .c import x\n",
            "c": "import json\nfrom .a import y\n",
            "d": "from . import a, c\n",
        }
        graph = {n: sorted(imports_of(s) & set(src)) for n, s in src.items()}
        self.assertEqual(graph, {"a": ["b"], "b": ["c"], "c": ["a"], "d": ["a", "c"]})
        self.assertEqual(circles(graph), [["a", "b", "c", "a"]])
        self.assertEqual(circles({"a": ["b"], "b": [], "c": ["a", "b"]}), [])

    def test_devcloud_lib_has_no_import_circle(self):
        graph = import_graph(LIB)
        self.assertIn("procs", graph["cloud"])
        found = circles(graph)
        self.assertEqual([], found, "\n".join(" -> ".join(c) for c in found))


if __name__ == "__main__":
    unittest.main()
