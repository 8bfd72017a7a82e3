"""The writer's number text: byte-equal to the C library's printf in the C
locale on millions of chosen doubles, and unchanged under a locale that
writes a decimal comma."""

import locale
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import reference_writer as ref
from _marlode import format_dart, format_wrfda

HERE = os.path.dirname(os.path.abspath(__file__))
WRITER = os.path.join(HERE, "..", "writer")


def test_number_writers_match_the_c_library(tmp_path):
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.skip("no C++ compiler to build the comparison program")
    exe = tmp_path / "number_text_check"
    # A plain program: no sanitizer runtime that a test lane preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(
        [
            cxx,
            "-std=c++17",
            "-O2",
            "-I",
            WRITER,
            os.path.join(HERE, "number_text_check.cpp"),
            "-o",
            str(exe),
        ],
        check=True,
        env=env,
    )
    out = subprocess.run(
        [str(exe)], capture_output=True, text=True, check=True, env=env, timeout=600
    ).stdout
    checked, mismatches = map(int, re.search(r"checked (\d+) mismatches (\d+)", out).groups())
    assert mismatches == 0, out
    # put_e and two precisions of put_f on each of millions of values
    assert checked > 6_000_000


def comma_locale():
    """The name of an installed locale whose decimal point is a comma, or None."""
    try:
        names = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    except OSError:
        names = []
    preferred = ["de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"]
    saved = locale.setlocale(locale.LC_NUMERIC)
    try:
        for name in preferred + names:
            try:
                locale.setlocale(locale.LC_NUMERIC, name)
            except locale.Error:
                continue
            if locale.localeconv()["decimal_point"] == ",":
                return name
    finally:
        locale.setlocale(locale.LC_NUMERIC, saved)
    return None


def dart_args():
    args = ref.random_dart(3000)
    args["value"][:6] = [np.inf, -np.inf, np.nan, -np.nan, -0.0, 5e-324]
    return args


def wrfda_args():
    args = ref.random_wrfda(2500, 3)
    args["rv"][0] = [np.nan, -np.inf, -0.0004]
    return args


@pytest.mark.parametrize(
    "format,reference,args",
    [(format_dart, ref.dart, dart_args), (format_wrfda, ref.wrfda, wrfda_args)],
    ids=["format_dart", "format_wrfda"],
)
@pytest.mark.parametrize("n_threads", [1, 2])
def test_text_ignores_a_decimal_comma_locale(format, reference, args, n_threads):
    name = comma_locale()
    if name is None:
        pytest.skip(
            "no locale with a decimal comma is installed (Debian: the 'locales' package, "
            "with de_DE.UTF-8 generated)"
        )
    args = args()
    saved = locale.setlocale(locale.LC_NUMERIC)
    try:
        locale.setlocale(locale.LC_NUMERIC, name)
        assert locale.localeconv()["decimal_point"] == ","
        got = format(**args, n_threads=n_threads)
        # the caller's locale stays as it was set
        assert locale.setlocale(locale.LC_NUMERIC) == name
    finally:
        locale.setlocale(locale.LC_NUMERIC, saved)
    assert got == reference(**args)
