"""A test that hangs fails within the per-test limit instead of holding CI for its whole time."""
import subprocess
import sys
import textwrap
import time


def test_a_hanging_test_fails_within_its_limit(tmp_path):
    (tmp_path / "test_hangs.py").write_text(textwrap.dedent("""
        import threading

        def test_waits_forever():
            threading.Event().wait()   # a lost wake-up, as in a collective no rank answers
    """))
    # The project's settings (the plugin and its method) with a short limit for this run.
    (tmp_path / "pytest.ini").write_text("[pytest]\ntimeout = 3\ntimeout_method = thread\n")
    start = time.monotonic()
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(tmp_path)],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    elapsed = time.monotonic() - start
    assert result.returncode != 0
    assert "Timeout" in result.stdout + result.stderr
    assert elapsed < 60

