"""Mutation score of the walk core's and the gate's sources; run through tools/mutate."""
import argparse
import difflib
import glob
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

# The tests that reach each file: a target of the C++ build, or the module (MODULE) and the
# files of the suite run against it, the quickest first (the run stops at the first failure).
CORE_TEST = 'test_walk_core'
MODULE = 'versioner'
TESTS = {name: CORE_TEST for name in ('walk_core.cpp', 'walk_pool.cpp', 'walk_listing.cpp',
                                           'platform_posix.cpp')}
TESTS.update({name: MODULE for name in ('gate.cpp', 'gate_classes.cpp', 'fast_paths.cpp', 'query_scan.cpp')})
SUITE = {
    'gate.cpp': ('test_gate.py', 'test_stand_ins.py', 'test_lookup_cache.py', 'test_fast_paths.py'),
    'gate_classes.cpp': ('test_gate.py', 'test_stand_ins.py', 'test_fast_paths.py'),
    'fast_paths.cpp': ('test_stand_ins.py', 'test_parsing.py', 'test_lookup_cache.py', 'test_fast_paths.py',
                       'test_differential.py'),
    'query_scan.cpp': ('test_stand_ins.py', 'test_scan_guards.py', 'test_native_queries.py',
                       'test_changes_during_scan.py', 'test_differential.py'),
}
PREFIX = '/tmp/kestrum-mutate.'


def load_equivalents(path):
    """(file, original, mutated) -> reason, from tab-separated lines."""
    out = {}
    if not os.path.exists(path):
        return out
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith('#'):
                continue
            fields = line.rstrip('\n').split('\t')
            if len(fields) not in (4, 5) or not fields[3].strip():
                sys.exit(f'mutate: {path}:{number}: want file, original, mutated and reason, tab-separated '
                         '(and the line before, where the original line is not the only one of its text)')
            key = (fields[0], fields[1].strip(), fields[2].strip())
            out.setdefault(key, []).append((fields[3].strip(), fields[4].strip() if len(fields) == 5 else None))
    return out


def equivalent(equivalents, base, old, new, source, line):
    """The reason a mutant is listed as equivalent, or None. An entry that names the line
    before the original one holds only there."""
    lines = source.splitlines()
    before = lines[line - 2].strip() if 1 < line <= len(lines) + 1 else ''
    for reason, previous in equivalents.get((base, old, new), ()):
        if previous is None or previous == before:
            return reason
    return None


def change(original, mutant):
    """The changed line: (number, original text, mutated text)."""
    a, b = original.splitlines(), mutant.splitlines()
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        if tag == 'equal':
            continue
        old = ' / '.join(x.strip() for x in a[i1:i2])
        new = ' / '.join(x.strip() for x in b[j1:j2])
        if tag == 'insert':  # a line added after line i1
            return i1, '(after) ' + (a[i1 - 1].strip() if i1 else ''), new
        return i1 + 1, old, new
    return 0, '', ''


def run(cmd, timeout=None, env=None, cwd=None):
    try:
        r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           timeout=timeout, env=env, cwd=cwd, errors='replace')
        return r.returncode, r.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout or ''
        return None, out if isinstance(out, str) else out.decode(errors='replace')


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--root', required=True)
    p.add_argument('--venv', required=True)
    p.add_argument('--seed', type=int, default=31)
    p.add_argument('--count', type=int, default=30)
    p.add_argument('--min-score', type=float, default=None)
    p.add_argument('--equivalent', default=None)
    p.add_argument('--keep', action='store_true', help='leave the copy under /tmp')
    p.add_argument('--list', action='store_true', help='only print the mutants drawn, building none')
    p.add_argument('--sample', default=None,
                   help='check the mutants listed in this file instead (each must still be killed)')
    p.add_argument('files', nargs='*')
    args = p.parse_args()
    venv_bin = os.path.join(args.venv, 'bin')
    equivalents = load_equivalents(args.equivalent or os.path.join(args.root, 'tools', 'mutate-equivalent.txt'))
    for name in args.files or ():
        if os.path.basename(name) not in TESTS:
            sys.exit(f'mutate: no tests known for {name} (known: {", ".join(sorted(TESTS))})')

    work = tempfile.mkdtemp(prefix=os.path.basename(PREFIX), dir='/tmp')
    assert work.startswith(PREFIX) and '/' not in work[len(PREFIX):], work
    try:
        if args.sample:
            return check_sample(args, venv_bin, work)
        if not args.files:
            sys.exit('mutate: no file given')
        return (list_drawn if args.list else measure)(args, venv_bin, equivalents, work)
    finally:
        if args.keep:
            print(f'mutate: copy kept in {work}')
        else:
            shutil.rmtree(work)


def draw(base, original, here, venv_bin, env, seed, count):
    """universalmutator's mutants of one source: (the source as mutated, all made, those drawn)."""
    # universalmutator takes `{-` for the start of a comment: mutate a copy spaced out.
    spaced = original.replace('{-', '{ -')
    os.makedirs(here)
    stem = os.path.join(here, base)
    with open(stem, 'w', encoding='utf-8') as f:
        f.write(spaced)
    rc, out = run([os.path.join(venv_bin, 'mutate'), stem, 'cpp', '--mutantDir', here, '--noCheck'], env=env)
    if rc != 0:
        sys.exit(f'mutate: universalmutator failed on {base}\n' + out[-3000:])
    pattern = re.compile(re.escape(base[:-4]) + r'\.mutant\.(\d+)\.cpp$')
    made = sorted((int(m.group(1)), n) for n in os.listdir(here) if (m := pattern.match(n)))
    drawn = random.Random(seed).sample(made, min(count, len(made)))
    drawn.sort()
    return spaced, made, drawn


def list_drawn(args, venv_bin, equivalents, work):
    """Prints the mutants drawn, without building any."""
    env = dict(os.environ, PATH=venv_bin + os.pathsep + os.environ['PATH'])
    for name in args.files:
        base = os.path.basename(name)
        with open(os.path.join(args.root, 'src', 'versioner', base), encoding='utf-8') as f:
            original = f.read()
        here = os.path.join(work, 'mutants', base.replace('.cpp', ''))
        spaced, made, drawn = draw(base, original, here, venv_bin, env, args.seed, args.count)
        print(f'{base}: {len(made)} mutants, {len(drawn)} drawn (seed {args.seed})')
        for index, (_, mutant_name) in enumerate(drawn, 1):
            with open(os.path.join(here, mutant_name), encoding='utf-8') as f:
                line, old, new = change(spaced, f.read())
            reason = equivalent(equivalents, base, old, new, spaced, line)
            print(f'  [{index}/{len(drawn)}] {"equivalent: " if reason else ""}{base}:{line}: {old} → {new}')
    return 0


def prepare(args, venv_bin, work):
    """A copy of the tree under `work`, configured: (tree, build_target, test, private)."""
    tree, build = (os.path.join(work, d) for d in ('tree', 'build'))
    files = subprocess.run(['git', 'ls-files', '-z'], cwd=args.root, check=True,
                           stdout=subprocess.PIPE).stdout.split(b'\0')
    for f in filter(None, files):
        src = os.path.join(args.root, f.decode())
        if os.path.isfile(src):
            dst = os.path.join(tree, f.decode())
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(src, dst)
    env = dict(os.environ, PATH=venv_bin + os.pathsep + os.environ['PATH'])
    rc, out = run([os.path.join(venv_bin, 'cmake'), '-S', tree, '-B', build, '-G', 'Ninja',
                   '-DCMAKE_BUILD_TYPE=', '-DCMAKE_CXX_FLAGS=-O1', '-DKESTRUM_CORE_TESTS=ON',
                   '-DPython_EXECUTABLE=' + os.path.join(venv_bin, 'python')], env=env)
    if rc != 0:
        sys.exit('mutate: configuring failed\n' + out[-3000:])

    def build_target(target):
        rc, out = run([os.path.join(venv_bin, 'ninja'), '-C', build, '-j1', target], env=env)
        if rc == 0 and target == MODULE:  # in place, where the suite imports it from
            built = glob.glob(os.path.join(build, MODULE + '*.so'))
            if len(built) != 1:
                return 1, f'{out}\nmutate: want one {MODULE}*.so in {build}, found {built}'
            shutil.copy2(built[0], os.path.join(tree, 'src', 'kestrum', os.path.basename(built[0])))
        return rc, out

    # The test's trees on a private tmpfs when the system lets us mount one.
    private = run(['unshare', '-m', 'sh', '-c', 'mount -t tmpfs tmpfs /mnt'])[0] == 0

    # The suite's own temporary trees go to a directory of the copy's, under /tmp.
    basetemp = os.path.join(work, 'pytest')
    assert basetemp.startswith(PREFIX), basetemp
    suite_env = dict(env, PYTHONPATH=os.path.join(tree, 'src'), PYTHONDONTWRITEBYTECODE='1')

    def judged(rc, out, pattern, full):
        """(verdict, failed checks[, output]) of a test run whose output names each
        failed check on a line matching `pattern` (its group 'check', else the whole
        match's first group, is the key; group 'at', else the key, where it failed)."""
        failed = {}
        for line in out.splitlines():
            m = re.search(pattern, line)
            if m:
                groups = m.groupdict()
                key = groups.get('check') or m.group(1)
                failed.setdefault(key, groups.get('at') or key)
        verdict = 'timeout' if rc is None else 'pass' if rc == 0 else 'fail' if rc == 1 and failed else 'crash'
        return (verdict, failed, out) if full else (verdict, failed)

    def test_suite(names, timeout, full):
        """The suite's files or test ids `names` against the module built in place."""
        cmd = [os.path.join(venv_bin, 'python'), '-m', 'pytest', '-x', '-q', '-p', 'no:cacheprovider',
               '-rf', '--basetemp', basetemp, *names]
        rc, out = run(cmd, timeout=timeout, env=suite_env, cwd=tree)
        # pytest: 0 passed, 1 a test failed; a signal, an internal error or a
        # failure at collection (the module did not import) is a crash.
        return judged(rc, out, r'^FAILED (\S+?)(?: - .*)?$', full)

    def test(target, timeout, names=(), full=False):
        """(verdict, failed checks): verdict 'pass', 'fail', 'crash' or 'timeout'. With
        `names`, only those test functions run (for the module: the suite's files or
        test ids, which it needs)."""
        if target == MODULE:
            return test_suite(names, timeout, full)
        binary = os.path.join(build, target)
        daemon = os.path.join(build, 'fuse_delay')  # the test's FUSE daemon, where built
        if private and os.path.exists(daemon):
            # The binaries are opened before /tmp is covered; the test starts the daemon
            # through the descriptor.
            cmd = ['unshare', '-m', 'sh', '-c',
                   'exec 3<"$0" 4<"$1" && mount -t tmpfs -o size=512m tmpfs /tmp && shift && '
                   'KESTRUM_FUSE_DAEMON=/proc/self/fd/4 exec /proc/self/fd/3 "$@"',
                   binary, daemon, *names]
        elif private:
            cmd = ['unshare', '-m', 'sh', '-c',
                   'exec 3<"$0" && mount -t tmpfs -o size=512m tmpfs /tmp && exec /proc/self/fd/3 "$@"',
                   binary, *names]
        else:
            cmd = [binary, *names]
        rc, out = run(cmd, timeout=timeout, env=env)
        return judged(rc, out, r'(?P<at>test_walk_core\.cpp:\d+): CHECK failed: (?P<check>.*)$', full)

    return tree, build_target, test, private


def tests_of(base):
    """(target, test names) that a mutant of `base` is run against: the C++ test whole,
    or the module and its files of the suite."""
    target = TESTS[base]
    return target, tuple(os.path.join('tests', t) for t in SUITE.get(base, ()))


def object_digest(build, target, base):
    """A digest of the object files `base` compiles to for `target`."""
    found = sorted(glob.glob(os.path.join(build, 'CMakeFiles', target + '.dir', '**', base + '.o'),
                             recursive=True))
    if not found:
        sys.exit(f'mutate: no object of {base} for {target} in {build}')
    digest = hashlib.sha256()
    for path in found:
        with open(path, 'rb') as f:
            digest.update(f.read())
    return digest.hexdigest()


def test_function(root, at):
    """The test function of tests/core/test_walk_core.cpp that holds `at` (file:line)."""
    line = int(at.rsplit(':', 1)[1])
    name = '?'
    with open(os.path.join(root, 'tests', 'core', 'test_walk_core.cpp'), encoding='utf-8') as f:
        for number, text in enumerate(f, 1):
            if number > line:
                break
            m = re.match(r'void (test_\w+)\(', text)
            if m:
                name = m.group(1)
    return name


def load_sample(path):
    """[(file, original, mutated, [test function, ...])], from tab-separated lines."""
    out = []
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith('#'):
                continue
            fields = line.rstrip('\n').split('\t')
            if len(fields) != 4 or fields[0] not in TESTS or not fields[3].split():
                sys.exit(f'mutate: {path}:{number}: want file, original, mutated and the tests that kill it, '
                         'tab-separated')
            out.append((fields[0], fields[1].strip(), fields[2].strip(), fields[3].split()))
    return out


def check_sample(args, venv_bin, work):
    """Each mutant of the sample file, found among universalmutator's by its change (not its
    line number), built and run against the tests named for it: all must be killed."""
    started = time.monotonic()
    sample = load_sample(args.sample)
    env = dict(os.environ, PATH=venv_bin + os.pathsep + os.environ['PATH'])
    tree, build_target, test, private = prepare(args, venv_bin, work)
    limits = {}
    for target in sorted({TESTS[entry[0]] for entry in sample}):
        rc, out = build_target(target)
        if rc != 0:
            sys.exit(f'mutate: {target} does not build unmutated\n' + out[-3000:])
        names = sorted({n for base, *_, tests in sample if TESTS[base] == target for n in tests})
        begin = time.monotonic()
        verdict, failed = test(target, 600, names)
        if verdict != 'pass':  # once more: a wait of the test's may have failed on a loaded machine
            begin = time.monotonic()
            verdict, failed = test(target, 600, names)
        took = time.monotonic() - begin
        if verdict != 'pass':
            sys.exit(f'mutate: the tests of the sample end in a {verdict} without any mutant: '
                     + '; '.join(f'{at}: {check}' for check, at in failed.items()))
        limits[target] = max(60.0, 3 * took)
        print(f'mutate: the tests of the sample ({target}) {took:.0f} s unmutated (a mutant\'s limit '
              f'{limits[target]:.0f} s){", trees on a private tmpfs" if private and target != MODULE else ""}',
              flush=True)
    problems = []
    for base in sorted({entry[0] for entry in sample}):
        source = os.path.join(tree, 'src', 'versioner', base)
        with open(source, encoding='utf-8') as f:
            original = f.read()
        here = os.path.join(work, 'mutants', base[:-4])
        spaced, made, _ = draw(base, original, here, venv_bin, env, 0, 0)
        texts = {}
        for _, name in made:
            with open(os.path.join(here, name), encoding='utf-8') as f:
                texts[name] = f.read()
        try:
            for file_, old, new, tests in (e for e in sample if e[0] == base):
                shown = f'{base}: {old} → {new}'
                key = new.split(' / ')[0]
                found = [t for t in texts.values() if key in t and change(spaced, t)[1:] == (old, new)]
                if len(found) != 1:
                    what = 'not made any more' if not found else f'made at {len(found)} places'
                    problems.append(f'{what} (the source changed there; draw the sample again): {shown}')
                    print(f'  stale: {shown}', flush=True)
                    continue
                mutant = found[0]
                with open(source, 'w', encoding='utf-8') as f:
                    f.write(mutant)
                target = TESTS[base]
                rc, _ = build_target(target)
                if rc != 0:
                    problems.append(f'does not compile any more: {shown}')
                    print(f'  uncompiled: {shown}', flush=True)
                    continue
                outcome, failed = test(target, limits[target], tests)
                if outcome == 'pass':
                    problems.append(f'survived {" ".join(tests)}: {shown}')
                    print(f'  SURVIVED: {shown}', flush=True)
                else:
                    how = outcome if outcome != 'fail' else next(iter(failed.values()))
                    print(f'  killed ({how}): {shown}', flush=True)
        finally:
            with open(source, 'w', encoding='utf-8') as f:
                f.write(original)
            if TESTS[base] == MODULE:  # the next file's mutants against the others as they are
                build_target(MODULE)
    print(f'\nsample of {len(sample)} mutants, {time.monotonic() - started:.0f} s')
    for problem in problems:
        print('mutate:', problem)
    return 1 if problems else 0


def measure(args, venv_bin, equivalents, work):
    mutants_dir = os.path.join(work, 'mutants')
    env = dict(os.environ, PATH=venv_bin + os.pathsep + os.environ['PATH'])
    tree, build_target, test, private = prepare(args, venv_bin, work)
    build = os.path.join(work, 'build')

    started = time.monotonic()
    limits, unreliable, objects = {}, {}, {}
    for key in sorted(set(tests_of(os.path.basename(f)) for f in args.files)):
        target, names = key
        rc, out = build_target(target)
        if rc != 0:
            sys.exit(f'mutate: {target} does not build unmutated\n' + out[-3000:])
        # Twice unmutated: a check that fails either time depends on the machine's
        # load, not on the code, and kills no mutant. (The suite stops at its first
        # failure: there, any failure unmutated ends the run.)
        took, unreliable[key] = 0.0, set()
        for _ in range(2 if target != MODULE else 1):
            begin = time.monotonic()
            verdict, failed, output = test(target, 600, names, full=True)
            took = max(took, time.monotonic() - begin)
            if verdict not in ('pass', 'fail') or (failed and target == MODULE):
                sys.exit(f'mutate: {" ".join((target, *names))} ends in a {verdict} without any mutant\n'
                         + output[-3000:])
            unreliable[key] |= set(failed)
        limits[key] = max(60.0, 3 * took)
        print(f'mutate: {" ".join((target, *names))} {took:.0f} s unmutated (a mutant\'s limit {limits[key]:.0f} s)'
              f'{", trees on a private tmpfs" if private and target != MODULE else ""}', flush=True)
        for check in sorted(unreliable[key]):
            print(f'mutate: failed unmutated, so it kills nothing: CHECK({check})', flush=True)
    for name in args.files:
        base = os.path.basename(name)
        objects[base] = object_digest(build, TESTS[base], base)

    rows, survivors, equivalent_seen = [], [], []
    for name in args.files:
        base = os.path.basename(name)
        rel = os.path.relpath(os.path.join(args.root, 'src', 'versioner', base), args.root)
        key = tests_of(base)
        target, names = key
        source = os.path.join(tree, rel)
        with open(source, encoding='utf-8') as f:
            original = f.read()
        here = os.path.join(mutants_dir, base.replace('.cpp', ''))
        spaced, made, drawn = draw(base, original, here, venv_bin, env, args.seed, args.count)
        print(f'{base}: {len(made)} mutants, {len(drawn)} drawn (seed {args.seed})', flush=True)
        counts = dict(drawn=len(drawn), compiled=0, killed=0, survived=0, equivalent=0, same=0)
        try:
            for index, (_, mutant_name) in enumerate(drawn, 1):
                with open(os.path.join(here, mutant_name), encoding='utf-8') as f:
                    mutant = f.read()
                line, old, new = change(spaced, mutant)
                shown = f'{base}:{line}: {old} → {new}'
                with open(source, 'w', encoding='utf-8') as f:
                    f.write(mutant)
                rc, out = build_target(target)
                if rc != 0:
                    verdict = 'uncompiled'
                elif object_digest(build, target, base) == objects[base]:
                    # Outside the code built here (a branch of another interpreter's), or
                    # compiled to the same instructions: no test can tell it.
                    verdict = 'same object'
                    counts['same'] += 1
                else:
                    counts['compiled'] += 1
                    reason = equivalent(equivalents, base, old, new, spaced, line)
                    if not reason and old.startswith('//') and new == f'/*{old}*/':
                        reason = 'a comment'
                    if reason:
                        verdict = 'equivalent'
                        counts['equivalent'] += 1
                        equivalent_seen.append(f'{shown}  ({reason})')
                    else:
                        outcome, failed = test(target, limits[key], names)
                        telling = [f'{at}: {check}' for check, at in failed.items() if check not in unreliable[key]]
                        if outcome == 'fail' and telling:
                            # A check that failed may depend on the machine's load: the
                            # mutant kills only when a check fails again on a second run
                            # (of the suite: of the tests that failed).
                            again = names if target != MODULE else sorted(failed)
                            outcome, failed = test(target, limits[key], again)
                            telling = [f'{at}: {check}' for check, at in failed.items()
                                       if check not in unreliable[key]]
                        if outcome in ('crash', 'timeout') or telling:
                            counts['killed'] += 1
                            verdict = (f'killed ({outcome})' if outcome != 'fail' else
                                       f'killed by {telling[0].split(": ")[0]}' if target == MODULE else
                                       f'killed by {test_function(args.root, telling[0].split(": ")[0])} ({telling[0]})')
                        else:
                            verdict = 'survived'
                            counts['survived'] += 1
                            survivors.append(shown)
                print(f'  [{index}/{len(drawn)}] {verdict}: {shown}', flush=True)
        finally:
            with open(source, 'w', encoding='utf-8') as f:
                f.write(original)
        rows.append((base, counts))

    print(f'\nseed {args.seed}, up to {args.count} mutants per file, {time.monotonic() - started:.0f} s')
    print(f'{"file":<20} {"drawn":>5} {"compiled":>8} {"killed":>6} {"survived":>8} {"equiv.":>6} {"score":>6}'
          f' {"same object":>11}')
    low = False
    for base, c in rows:
        scored = c['compiled'] - c['equivalent']
        score = 100.0 * c['killed'] / scored if scored else 100.0
        low |= args.min_score is not None and score < args.min_score
        print(f'{base:<20} {c["drawn"]:>5} {c["compiled"]:>8} {c["killed"]:>6} {c["survived"]:>8} '
              f'{c["equivalent"]:>6} {score:>5.0f}% {c["same"]:>11}')
    for s in survivors:
        print('survived  ', s)
    for s in equivalent_seen:
        print('equivalent', s)
    if low:
        print(f'mutate: a file scores below {args.min_score:.0f} %')
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
