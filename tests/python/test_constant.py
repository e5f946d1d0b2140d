import re

import pytest

import velmora

Constant = velmora.Constant

TYPE_REC = "type schema - parse pattern recursive [src/patterns/type_schema]"
TYPE_PARSE = "type schema - parse pattern [src/patterns/type_schema]"
TYPE_NEW = "type schema - new [src/patterns/type_schema]"


def without_line_numbers(message):
    """The exception text with the line numbers of its context lines cut off."""
    return re.sub(r" \[(src/[^\]:]+):\d+\]", r" [\1]", message)


def report(message, *lines_innermost_first):
    """The text of a report: the message, then its context lines newest first."""
    return "".join([message] + [f"\n → {line}" for line in reversed(lines_innermost_first)])


def test_name_comes_back_as_given():
    c = Constant("f", "(a: *) -> (b: *)")
    assert c.name == "f"
    assert type(c.name) is str


@pytest.mark.parametrize("name", ["", "not an identifier", "  padded  ", "K-1", "é"])
def test_name_is_neither_trimmed_nor_validated(name):
    assert Constant(name, "A").name == name


def test_arguments_by_keyword():
    c = Constant(type_schema="A -> B", name="g")
    assert c.name == "g"


def test_str_subclass_is_accepted_and_name_is_plain_str():
    class Text(str):
        pass

    c = Constant(Text("h"), Text("A"))
    assert c.name == "h"
    assert type(c.name) is str


@pytest.mark.parametrize(
    "schema",
    ["A", "  A  ", "\tA -> B\n", "*", "(x: *) -> (x: *)", "(f: (a: *) -> (a: *))", "(: a)", "é -> b"],
)
def test_valid_schemas_are_accepted_untrimmed(schema):
    assert Constant("c", schema).name == "c"


SCHEMA_ERRORS = [
    ("", report("Schema Validation Failed for '': Empty pattern", TYPE_PARSE, TYPE_NEW)),
    ("   ", report("Schema Validation Failed for '': Empty pattern", TYPE_PARSE, TYPE_NEW)),
    (
        "(a: 1)",
        report(
            "Invalid Identifier '1': Name must start with a letter or underscore",
            TYPE_REC, TYPE_REC, TYPE_PARSE, TYPE_NEW,
        ),
    ),
    (
        " )( ",
        report(
            "Schema Validation Failed for ')(': Unbalanced parentheses: too many closing parentheses",
            TYPE_PARSE, TYPE_NEW,
        ),
    ),
    (
        "((a)",
        report(
            "Schema Validation Failed for '((a)': Unbalanced parentheses: too many opening parentheses",
            TYPE_PARSE, TYPE_NEW,
        ),
    ),
    ("a ->", report("Schema Validation Failed for '': Empty pattern", TYPE_REC, TYPE_PARSE, TYPE_NEW)),
    (
        "True",
        report("Invalid Identifier 'True': 'True' is a reserved name", TYPE_REC, TYPE_PARSE, TYPE_NEW),
    ),
    (
        "(a)(b)",
        report(
            "Invalid Identifier 'a)(b': Name can only contain alphanumeric characters and underscores",
            TYPE_REC, TYPE_REC, TYPE_PARSE, TYPE_NEW,
        ),
    ),
]


@pytest.mark.parametrize("schema, text", SCHEMA_ERRORS)
def test_schema_errors_raise_value_error_with_context_lines(schema, text):
    with pytest.raises(ValueError) as info:
        Constant("c", schema)
    assert type(info.value) is ValueError
    assert without_line_numbers(str(info.value)) == text


def test_context_lines_carry_source_positions():
    with pytest.raises(ValueError) as info:
        Constant("c", "")
    lines = str(info.value).split("\n")[1:]
    assert len(lines) == 2
    for line in lines:
        assert re.fullmatch(r" → type schema - (new|parse pattern) \[src/patterns/type_schema:\d+\]", line)


ARGUMENT_ERRORS = [
    ((), {}, "Constant.__new__() missing 2 required positional arguments: 'name' and 'type_schema'"),
    (("f",), {}, "Constant.__new__() missing 1 required positional argument: 'type_schema'"),
    ((), {"type_schema": "A"}, "Constant.__new__() missing 1 required positional argument: 'name'"),
    (("f", "A", "B"), {}, "Constant.__new__() takes 2 positional arguments but 3 were given"),
    (("f", "A"), {"name": "g"}, "Constant.__new__() got multiple values for argument 'name'"),
    (("f", "A"), {"other": 1}, "Constant.__new__() got an unexpected keyword argument 'other'"),
    ((1, "A"), {}, "argument 'name': 'int' object cannot be cast as 'str'"),
    ((b"f", "A"), {}, "argument 'name': 'bytes' object cannot be cast as 'str'"),
    (("f", None), {}, "argument 'type_schema': 'NoneType' object cannot be cast as 'str'"),
    (("f", ["A"]), {}, "argument 'type_schema': 'list' object cannot be cast as 'str'"),
    # The name is converted before the schema is looked at.
    ((1, ""), {}, "argument 'name': 'int' object cannot be cast as 'str'"),
]


@pytest.mark.parametrize("args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors_raise_type_error(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Constant(*args, **kwargs)
    assert str(info.value) == message


def test_schema_is_converted_before_it_is_parsed():
    with pytest.raises(TypeError) as info:
        Constant("f", 2)
    assert str(info.value) == "argument 'type_schema': 'int' object cannot be cast as 'str'"


def test_name_is_read_only():
    c = Constant("f", "A")
    with pytest.raises(AttributeError):
        c.name = "g"
    with pytest.raises(AttributeError):
        del c.name
    assert c.name == "f"


def test_no_other_attributes_can_be_set():
    c = Constant("f", "A")
    with pytest.raises(AttributeError):
        c.type_schema = "B"


def test_class_surface():
    assert Constant.__module__ == "builtins"
    assert Constant.__qualname__ == "Constant"
    assert Constant.__text_signature__ == "(name, type_schema)"
    assert Constant.name.__doc__ == ""


def test_equality_is_identity():
    a = Constant("f", "A")
    b = Constant("f", "A")
    assert a == a
    assert a != b


# The type parameters are seen through a graph: a use of the constant with one
# argument too many reports how many it expected.
@pytest.mark.parametrize(
    "schema, expected",
    [
        ("(a: *) -> (b: *)", 2),
        ("(x: *) -> (x: *)", 2),
        ("(f: (a: *) -> (a: *))", 3),
        ("A -> B", 0),
        ("  (t: *)  ", 1),
    ],
)
def test_free_variables_are_the_type_parameters(schema, expected):
    graph = velmora.Graph([Constant("k", schema)])
    arguments = ", ".join(["A"] * (expected + 1))
    query = graph.query().create(f"(n:A -> B:@k({arguments}))")
    with pytest.raises(ValueError) as info:
        query.execute()
    assert re.match(
        rf"Invalid Number of Arguments: expected {expected}, got {expected + 1} "
        r"\(get constant type \[src/graph/base:\d+\]\)",
        str(info.value),
    )
