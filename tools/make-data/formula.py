"""Evaluator for the formula texts the data files carry.

The programs read coordinate triplets and reflection conditions as formulas
of their own small language: numbers, names, "+", "-", "*", "/", brackets
and built-in functions such as eq, mod, and, or, not.  The checks of the
generated data evaluate those texts here, with the same operator binding and
the same truth rules, so that a text that passes here is read the same way by
the programs.  Only the built-ins the data files use are provided.

compile_formula(text) parses once and returns a function of a dict of
variables; evaluate(text, **variables) does both at once.
"""

import math

# Truth threshold of the logic built-ins and tolerance of the comparisons.
TRUTH = 2.220446049250313e-13
EPS = 2.220446049250313e-16
TINY = 2.2250738585072014e-308


class FormulaError(Exception):
    pass


def _split_args(text):
    """Cuts an argument text at the commas outside brackets."""
    args, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "([":
            depth += 1
        elif c in ")]":
            depth -= 1
        elif c == "," and depth == 0:
            args.append(text[start:i])
            start = i + 1
    args.append(text[start:])
    return args


def _tol(a, b):
    return (abs(a) + abs(b)) * EPS


def _both_tiny(a, b):
    return abs(a) < TINY and abs(b) < TINY


def _f_abs(args, env):
    return abs(args[0](env))


def _f_mod(args, env):
    b = args[1](env)
    if abs(b) < TINY:
        raise FormulaError("wrong second argument mod")
    return math.fmod(args[0](env), b)


def _f_not(args, env):
    v = args[0](env)
    if math.isnan(v):
        return 0.0
    return 1.0 if abs(v) < TRUTH else 0.0


def _f_and(args, env):
    v = 0.0
    for a in args:
        v = a(env)
        if not (math.isnan(v) or v >= TRUTH):
            return 0.0
    return v


def _f_or(args, env):
    v = 0.0
    for a in args:
        v = a(env)
        if not math.isnan(v) and abs(v) > TRUTH:
            return 1.0
    return v


def _f_eq(args, env):
    p = args[0](env)
    for a in args[1:]:
        q = a(env)
        if not (_both_tiny(p, q) or abs(p - q) <= _tol(p, q) or math.isnan(p) or math.isnan(q)):
            return 0.0
        p = q
    return 1.0


def _f_ne(args, env):
    p, q = args[0](env), args[1](env)
    if _both_tiny(p, q):
        return 0.0
    return 1.0 if abs(p - q) > _tol(p, q) else 0.0


# name -> (function, exact argument count or -minimum)
BUILTINS = {
    "abs": (_f_abs, 1), "mod": (_f_mod, 2), "not": (_f_not, 1),
    "and": (_f_and, -1), "or": (_f_or, -1), "eq": (_f_eq, -2), "ne": (_f_ne, 2),
}


class _Parser:
    # sum := product (("+"|"-") product)*; product := unary (("*"|"/")
    # unary)*; unary := ("+"|"-")* primary.  Negation binds tighter than
    # "*" and "/", which gives the same doubles as the programs'
    # operator-precedence scan.
    def __init__(self, text):
        self.text = text
        self.pos = 0

    def parse(self):
        if self.text == "":
            raise FormulaError("empty formula")
        node = self._sum()
        if self.pos != len(self.text):
            raise FormulaError("wrong expression: %r" % self.text)
        return node

    def _peek(self):
        return self.text[self.pos] if self.pos < len(self.text) else ""

    def _sum(self):
        node = self._product()
        while self._peek() in ("+", "-") and self._peek():
            op = self._peek()
            self.pos += 1
            rhs = self._product()
            node = (lambda a, b: lambda env: a(env) + b(env))(node, rhs) if op == "+" \
                else (lambda a, b: lambda env: a(env) - b(env))(node, rhs)
        return node

    def _product(self):
        node = self._unary()
        while self._peek() in ("*", "/") and self._peek():
            op = self._peek()
            self.pos += 1
            rhs = self._unary()
            if op == "*":
                node = (lambda a, b: lambda env: a(env) * b(env))(node, rhs)
            else:
                text = self.text

                def div(env, a=node, b=rhs):
                    d = b(env)
                    if d == 0.0:
                        raise FormulaError("division by zero: %r" % text)
                    return a(env) / d
                node = div
        return node

    def _unary(self):
        c = self._peek()
        if c == "+":
            self.pos += 1
            return self._unary()
        if c == "-":
            self.pos += 1
            inner = self._unary()
            return lambda env: -inner(env)
        if c == "(":
            self.pos += 1
            node = self._sum()
            if self._peek() != ")":
                raise FormulaError("unbalanced brackets: %r" % self.text)
            self.pos += 1
            return node
        return self._operand()

    def _operand(self):
        text, start = self.text, self.pos
        c = self._peek()
        if c.isdigit():
            end = start
            while end < len(text) and (text[end].isdigit() or text[end] == "."):
                end += 1
            if end < len(text) and text[end] in "eE":
                e = end + 1
                if e < len(text) and text[e] in "+-":
                    e += 1
                if e < len(text) and text[e].isdigit():
                    while e < len(text) and text[e].isdigit():
                        e += 1
                    end = e
            self.pos = end
            value = float(text[start:end])
            return lambda env: value
        if c.isascii() and c.isalpha():
            end = start
            while end < len(text) and text[end].isascii() and text[end].isalnum():
                end += 1
            name = text[start:end]
            if end < len(text) and text[end] == "(":
                depth, i = 0, end
                while i < len(text):
                    if text[i] in "([":
                        depth += 1
                    elif text[i] in ")]":
                        depth -= 1
                        if depth == 0:
                            break
                    i += 1
                if depth != 0:
                    raise FormulaError("wrong brackets: %r" % text)
                args = [_Parser(a).parse() for a in _split_args(text[end + 1:i])]
                self.pos = i + 1
                if name not in BUILTINS:
                    raise FormulaError("unknown function %s" % name)
                fn, count = BUILTINS[name]
                if (count > 0 and len(args) != count) or (count < 0 and len(args) < -count):
                    raise FormulaError("%s with %d arguments" % (name, len(args)))
                return lambda env: fn(args, env)
            self.pos = end

            def var(env):
                if name not in env:
                    raise FormulaError("undefined variable %s" % name)
                return env[name]
            return var
        raise FormulaError("wrong character at %d in %r" % (start, text))


def compile_formula(text):
    return _Parser(text).parse()


def evaluate(text, **variables):
    return compile_formula(text)(variables)


def is_true(value):
    """The reflection list keeps a reflection when this holds."""
    return abs(value) > TRUTH
