"""Kernel facts easier to prove in C++ than through a buffer."""
from conftest import run_cpp


def test_div255_is_exact_for_every_byte_product(tmp_path):
    run_cpp(tmp_path, "div255.cpp")


def test_div255_wide_is_exact_for_every_word_times_byte(tmp_path):
    run_cpp(tmp_path, "mask_div255_wide.cpp")


def test_mask_row_kernels_follow_the_rules_for_every_mask_step(tmp_path):
    run_cpp(tmp_path, "mask_channel_kernels.cpp", flags=("-Wall", "-Wextra", "-Werror"))


def test_box_scans_match_a_full_search(tmp_path):
    run_cpp(tmp_path, "mask_box_kernels.cpp", flags=("-Wall", "-Wextra", "-Werror"))
