"""Small objects that convert to numbers only through their special methods."""


class Index:
    """An integer through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    """A float through __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value
