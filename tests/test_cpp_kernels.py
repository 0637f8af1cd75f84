"""Kernel facts easier to prove in C++ than through a buffer."""
from conftest import run_cpp


def test_div255_is_exact_for_every_byte_product(tmp_path):
    run_cpp(tmp_path, "div255.cpp")


def test_div255_wide_is_exact_for_every_word_times_byte(tmp_path):
    run_cpp(tmp_path, "mask_div255_wide.cpp")


def test_compose_arithmetic_is_exact(tmp_path):
    # Div65535 over its whole domain; the opacity scale against floor(v * a) for 8- and 16-bit channels.
    run_cpp(tmp_path, "compose_kernels.cpp")
