"""The module against its plain-Python rendering over random sequences of
steps (differential.py), with a fixed seed and a bounded number of steps;
tools/difftest runs the same machine long, with a random seed."""

import os

import pytest
from hypothesis import HealthCheck, settings
from hypothesis.stateful import run_state_machine_as_test

from differential import ODD_VALUES, PHASES, STDLIB, WALK_INTERNALS, Differential, current_stub

# About 7,000 steps: some ten seconds per interpreter.
EXAMPLES = int(os.environ.get("KESTRUM_DIFF_EXAMPLES", "150"))
STEPS = 40


@pytest.mark.no_refleak_rerun  # seconds of random steps; the test below checks leaks
def test_module_agrees_with_the_plain_rendering():
    run_state_machine_as_test(Differential, settings=settings(
        max_examples=EXAMPLES, stateful_step_count=STEPS, derandomize=True, database=None,
        deadline=None, suppress_health_check=list(HealthCheck), phases=PHASES))


def test_the_end_of_a_run_puts_back_every_patched_function():
    # A run may end with a scan suspended and a walk internal patched: both
    # must go, or the stand-in records every later call of the process.
    def current():
        return {name: getattr(*STDLIB[name]) for name in STDLIB}

    real = current()
    machine = Differential()
    try:
        machine.first_objects(("absolute", "sh010.v001.exr"), "VersionFileSystem")
        machine.open_scan(which=0)
        machine.resume_scan(which=0, count=1)
        for name in sorted(STDLIB):
            machine.patch(name)
        assert machine.scans and not set(machine.patched) & WALK_INTERNALS
        machine.close_scans()
        for name in sorted(WALK_INTERNALS):
            machine.patch(name)
        machine.open_scan(which=0)
        assert machine.scans and set(machine.patched) == set(STDLIB)
    finally:
        machine.teardown()
    assert current() == real


def test_steps_of_the_machine_leak_nothing(leak_check):
    # One short run of steps again and again: the module's side of each is
    # what must not leak (the plain side is Python).
    machine = Differential()
    try:
        machine.first_objects(("absolute", "sh010.v001.exr"), "VersionFileSystem")
        machine.tree(("absolute", "sh010.v002.exr"), "file")
        # Pairs 4 and 5; 2, 3 and 4 are the file-system ones, 0 to 2 among them.
        machine.make(("absolute", "a.exr"), "VersionFileSystem", {"postfix": "["})
        machine.make(("bare", "b.v001.exr"), "Version", {})
        machine.rebind(which=5, field="_splits", value=ODD_VALUES.index(current_stub),
                       delete=False)
        outcomes = []
        machine.both = lambda step, touched=(): outcomes.append(
            Differential.both(machine, step, touched) or touched[0][0].__dict__.get("postfix"))

        def steps():
            machine.contains(which=2, number=13)  # KeyError from the twin's split
            machine.contains(which=1, number=2)
            machine.query(which=1, member="last")
            machine.read(which=1, member="versionless")
            machine.init_again(which=5, spec=("bare", "b.v001.exr"), settings={})  # not iterable
            machine.compare(which=1, other=("name", ("relative", "sh010.v002.exr")),
                            negate=True, swapped=False)

        steps()
        assert outcomes == ["[", ".v", ".v", ".v", ".v", ".v"]
        del machine.both
        leak_check(steps, warmup=100, iterations=200)
    finally:
        machine.teardown()
