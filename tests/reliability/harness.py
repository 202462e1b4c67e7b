"""Shared plumbing of the reliability suites: child environments and the fault library."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def child_env(**extra):
    """The environment of a child Python that can import these helpers and the module."""
    env = dict(os.environ)
    inherited = [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([HERE] + inherited)
    env["PYTHONHASHSEED"] = "0"
    env.update(extra)
    return env


def build_fault_library(folder):
    """Compiles the LD_PRELOAD fault library into `folder` and returns its path."""
    out = os.path.join(folder, "libfault_inject.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-Wall", "-Wextra", "-Werror", "-o", out,
                    os.path.join(HERE, "fault_inject.c"), "-ldl"], check=True)
    return out


def run_child(script, *args, env=None, timeout=600, prefix=()):
    return subprocess.run([*prefix, sys.executable, os.path.join(HERE, script), *map(str, args)],
                          env=env or child_env(), capture_output=True, timeout=timeout)
