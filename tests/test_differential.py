"""The module against its plain-Python rendering over random sequences of
steps (differential.py), with a fixed seed and a bounded number of steps;
tools/difftest runs the same machine long, with a random seed."""

import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.stateful import run_state_machine_as_test

from differential import Differential

# About ten seconds per interpreter.
EXAMPLES = int(os.environ.get("KESTRUM_DIFF_EXAMPLES", "60"))
STEPS = 40


@pytest.mark.no_refleak_rerun  # seconds of random steps; test_differential_leaks covers leaks
def test_module_agrees_with_the_plain_rendering():
    run_state_machine_as_test(Differential, settings=settings(
        max_examples=EXAMPLES, stateful_step_count=STEPS, derandomize=True, database=None,
        deadline=None, suppress_health_check=list(HealthCheck)))
