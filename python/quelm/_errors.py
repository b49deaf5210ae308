"""Exception classes of quelm that live on the Python side."""


class InternalError(BaseException):
    """A broken internal invariant inside quelm's native core.

    Derived from BaseException, so ``except Exception`` does not swallow it. Ordinary
    usage never raises it; the ones a caller can provoke are a targets dict that changes
    while it is being read (from a key's or value's conversion hook).
    """


__all__ = ["InternalError"]
