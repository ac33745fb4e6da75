"""Small objects that convert to numbers only through their special methods."""


class Index:
    """An integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Real:
    """A float through __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Real({self.value!r})"


class Opaque:
    """Converts to nothing."""

    def __repr__(self):
        return "Opaque()"
