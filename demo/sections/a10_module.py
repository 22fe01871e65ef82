from units import human

TITLE = "Module"


def show(norvik):
    functions = sorted(n for n in dir(norvik) if callable(getattr(norvik, n)) and not n[0].isupper())
    print(f"page size            {human(norvik.getpagesize())}")
    print(f"functions            {len(functions)}: {', '.join(functions)}")
    print(f"RLIM_INFINITY        {norvik.RLIM_INFINITY}")
    print(f"ZombieProcessError   {norvik.ZombieProcessError.__module__}.{norvik.ZombieProcessError.__name__}")
