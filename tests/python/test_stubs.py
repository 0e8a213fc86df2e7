# The stubs against the compiled module's own signatures. stubtest cannot read the parameters of
# functions bound from C++ (they have no Python signature), so the signature lines pybind11 writes
# into each docstring are compared here with the stubs: parameter names and order, which have
# defaults, the default values the stubs spell out, and keyword-only parameters.
import ast
import os
import re

from tyx_client import _native

STUB = os.path.join(os.path.dirname(_native.__file__), "_native.pyi")


def split_parameters(text):
    """The parameters of a signature text, split at the commas outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, ch in enumerate(text):
        if quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def runtime_signatures(function, name, is_method):
    """Each overload of a bound function as [(parameter, default text or None, keyword-only)]."""
    doc = getattr(function, "__doc__", None) or ""
    found = []
    for line in doc.splitlines():
        match = re.fullmatch(r"(?:\d+\. )?%s\((.*)\) -> .*" % re.escape(name), line)
        if not match:
            continue
        parameters, keyword_only = [], False
        for part in split_parameters(match.group(1)):
            if part == "*":
                keyword_only = True
                continue
            head, _, default = part.partition(" = ")
            parameters.append((head.split(":")[0].strip(), default or None, keyword_only))
        found.append(parameters[1:] if is_method else parameters)
    return found


def stub_signatures():
    """Every function of the stubs by qualified name: a list of overloads, as runtime_signatures."""
    functions = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                decorators = [ast.unparse(d) for d in node.decorator_list]
                if any(d == "property" or d.endswith(".setter") for d in decorators):
                    continue
                args = node.args
                positional = args.posonlyargs + args.args
                defaults = [None] * (len(positional) - len(args.defaults)) + args.defaults
                parameters = [(a.arg, d, False) for a, d in zip(positional, defaults)]
                if args.vararg:
                    parameters.append(("*" + args.vararg.arg, None, False))
                parameters += [(a.arg, d, True) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
                if "staticmethod" not in decorators:
                    parameters = parameters[1:]
                functions.setdefault(prefix + node.name, []).append(parameters)

    with open(STUB) as stub:
        visit(ast.parse(stub.read()).body, "")
    return functions


def names(parameters):
    return tuple(name for name, _, _ in parameters)


def defaulted(parameters):
    return {name for name, default, _ in parameters if default is not None}


def test_the_stubs_give_every_bound_function_its_parameters_and_defaults():
    problems, compared = [], []
    for qualified, stubs in stub_signatures().items():
        *path, name = qualified.split(".")
        owner = _native
        for part in path:
            owner = getattr(owner, part, None)  # stubtest reports what is missing
        static = isinstance(vars(owner).get(name), staticmethod) if isinstance(owner, type) else False
        runtime = runtime_signatures(getattr(owner, name, None), name, isinstance(owner, type) and not static)
        if not runtime:
            continue  # a Python function (stubtest checks those) or one pybind11 did not describe
        compared.append(qualified)
        by_names = {names(r): r for r in runtime}
        for stub in stubs:
            if len(runtime) == 1:
                # One C++ signature may be typed as several overloads, each with the same parameters.
                match = runtime[0]
                if not defaulted(stub) <= defaulted(match):
                    problems.append("%s: defaults %s, runtime %s" % (qualified, defaulted(stub), defaulted(match)))
            else:
                match = by_names.get(names(stub))
                if match and defaulted(stub) != defaulted(match):
                    problems.append("%s: defaults %s, runtime %s" % (qualified, defaulted(stub), defaulted(match)))
            if match is None or names(stub) != names(match):
                problems.append("%s: stub %s, runtime %s" % (qualified, names(stub), [names(r) for r in runtime]))
                continue
            for (name_, stub_default, stub_keyword), (_, runtime_default, runtime_keyword) in zip(stub, match):
                if runtime_keyword and not stub_keyword:
                    problems.append("%s: %s is keyword-only" % (qualified, name_))
                if isinstance(stub_default, ast.Constant) and stub_default.value is not Ellipsis:
                    if runtime_default is None or ast.literal_eval(runtime_default) != stub_default.value:
                        problems.append("%s: %s defaults to %s" % (qualified, name_, runtime_default))
        if len(runtime) > 1 and {names(r) for r in runtime} != {names(s) for s in stubs}:
            problems.append("%s: stub overloads %s, runtime %s" % (
                qualified, sorted(names(s) for s in stubs), sorted(names(r) for r in runtime)))
        if len(runtime) == 1 and set().union(*map(defaulted, stubs)) != defaulted(runtime[0]):
            problems.append("%s: defaults missing from the stub" % qualified)
    assert {"TyxClient.publish_frame", "Sandbox.__init__", "PublicationConfig.Shard.__init__",
            "Table.from_dict", "EndpointList.pop"} <= set(compared)
    assert problems == [], "\n".join(problems)

