"""A tool module importable by the processes the batch tests start."""


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b
