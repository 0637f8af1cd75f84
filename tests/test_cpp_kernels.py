"""Kernel facts easier to prove in C++ than through a buffer."""
from conftest import run_cpp


def test_div255_is_exact_for_every_byte_product(tmp_path):
    run_cpp(tmp_path, "div255.cpp")


def test_div255_wide_is_exact_for_every_word_times_byte(tmp_path):
    run_cpp(tmp_path, "mask_div255_wide.cpp")

