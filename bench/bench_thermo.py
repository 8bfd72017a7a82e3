"""thermo on 10^7 points against the same formulas as a NumPy expression."""

import numpy as np

import _kestrin
from common import best, report


def thermo_numpy(t, p, td):
    Td = np.where(np.isnan(td), td, np.minimum(td, t))
    q = 100000.0 / p
    th = np.power(q, 0.28542059262205427) * t
    c = Td + (-273.15)
    e = np.exp((c * 17.67) / (c + 243.5)) * 611.2
    r = (e * 0.6219569156569429) / (p - e)
    thv = ((r / 0.6219569156569429 + 1.0) * th) / (r + 1.0)
    TL = 1.0 / (np.log(t / Td) / 800.0 + 1.0 / (Td - 56.0)) + 56.0
    rg = r * 1000.0
    A = np.power(q, (rg * (-0.00028) + 1.0) * 0.2854) * t
    the = np.exp((rg * 0.00081 + 1.0) * ((3.376 / TL - 0.00254) * rg)) * A
    return np.stack([r, th, thv, the])


def main():
    n = 10**7
    rng = np.random.default_rng(0)
    t = rng.uniform(220.0, 310.0, n)
    p = rng.uniform(20000.0, 104000.0, n)
    td = t - rng.uniform(0.0, 30.0, n)
    assert np.allclose(thermo_numpy(t, p, td), _kestrin.thermo(t, p, td), rtol=1e-12)
    base = best(lambda: thermo_numpy(t, p, td), 3)
    one = best(lambda: _kestrin.thermo(t, p, td, 1))
    allc = best(lambda: _kestrin.thermo(t, p, td, 0))
    report(
        "thermo, 10^7 points",
        [
            ("NumPy expression", base, None),
            ("thermo, n_threads=1 (vs NumPy)", one, base),
            ("thermo, all cores (vs NumPy)", allc, base),
            ("thermo, all cores (vs n_threads=1)", allc, one),
        ],
    )


if __name__ == "__main__":
    main()
