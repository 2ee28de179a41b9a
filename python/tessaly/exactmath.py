"""Elementary functions whose results are the same bits on every machine.

An input file made from a case file must be the same file wherever it is
made. +, -, *, / and sqrt of doubles are correctly rounded everywhere, numpy
included, but numpy picks SIMD code for sin, cos, exp, arctan2 and the
magnitude of complex numbers by the CPU it runs on (AVX-512, AVX2 or none),
and the C library behind the math module picks FMA or non-FMA code for its
sin, cos and atan2: their last bits differ from machine to machine.

The functions here return the double nearest to the exact value of the
function at the given doubles. mpmath computes it in integer arithmetic with
113 bits, which is rounded to the nearest double once; a result could only
come out wrong if the exact value lay within 2^-113 of a midpoint between
two doubles, and it would come out the same wrong way on every machine.
Signed zeros follow IEEE 754 (atan2(-0.0, -1.0) is -pi, sin(-0.0) is -0.0).
"""
import math

import mpmath
import numpy as np
from mpmath.libmp import round_nearest, to_float

_CONTEXT = mpmath.MPContext()
_CONTEXT.prec = 113


def _nearest(value):
    # float(value) would round towards zero: mpmath's default for speed.
    return to_float(value._mpf_, rnd=round_nearest)


def hypot(x, y):
    """|x + iy|."""
    return _nearest(_CONTEXT.hypot(float(x), float(y)))


def atan2(y, x):
    """The angle of x + iy in (-pi, pi]."""
    y, x = float(y), float(x)
    if y == 0:
        return math.copysign(math.pi if math.copysign(1.0, x) < 0 else 0.0, y)
    return _nearest(_CONTEXT.atan2(y, x))


def sin(x):
    x = float(x)
    return x if x == 0 else _nearest(_CONTEXT.sin(x))


def cos(x):
    return _nearest(_CONTEXT.cos(float(x)))


def _of_complex(function, z):
    z = np.asarray(z, dtype=complex)
    return np.array([function(v.real, v.imag) for v in z.ravel().tolist()], dtype=float).reshape(z.shape)


def _of_real(function, x):
    x = np.asarray(x, dtype=float)
    return np.array([function(v) for v in x.ravel().tolist()], dtype=float).reshape(x.shape)


def magnitudes(z):
    """|z| of every element of the complex array z."""
    return _of_complex(hypot, z)


def angles(z):
    """arg z of every element of the complex array z, in (-pi, pi]."""
    return _of_complex(lambda re, im: atan2(im, re), z)


def sines(x):
    return _of_real(sin, x)


def cosines(x):
    return _of_real(cos, x)
