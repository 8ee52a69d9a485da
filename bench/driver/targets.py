# The goals the registry is held to, one check per table row. Each check gets
# the row's figures and returns the goal's wording and whether it was met
# (None where the row has no goal).

TARGET_STARTUP_N = 100_000


def ratio(a, b):
    return a / b if a is not None and b else None


def lookups(n, p, r, f):
    by_redis, by_floor = ratio(p, r), ratio(p, f)
    met = by_redis is not None and by_floor is not None and by_redis >= 1.3 and by_floor >= 0.8
    return "≥1.3×redis, ≥0.8×floor", met


def registrations(n, p, r, f):
    need = 1.0 if n <= 10_000 else 0.5
    by_redis = ratio(p, r)
    return f"≥{need:.1f}×redis", by_redis is not None and by_redis >= need


def idle_cost(with_idle, without_idle):
    kept = ratio(with_idle, without_idle)
    return "≤10% fewer lookups than without idle", kept is not None and kept >= 0.9


def startup(n, ms):
    if n != TARGET_STARTUP_N:
        return "", None
    return "<150 ms", ms is not None and ms < 150


def resident(mib):
    return "<64 MiB", mib is not None and mib < 64
