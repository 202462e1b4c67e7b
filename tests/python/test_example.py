import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_quickstart_runs_end_to_end():
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "quickstart.py"), "--records", "3000", "--dim", "48",
         "--queries", "30"],
        capture_output=True, text=True, timeout=600,
    )
    assert out.returncode == 0, out.stderr
    assert "recall@10 against brute force" in out.stdout
    recall = float(out.stdout.split("recall@10 against brute force: ")[1].split()[0])
    assert recall >= 0.9
    assert "reopened in" in out.stdout
