"""This process's memory as the kernel counts it, for the tests and the
benchmarks alike."""


def status_mib(field: str) -> float:
    """A field of /proc/self/status (VmRSS, VmHWM, ...) in MiB; NaN if absent."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def rss_mib() -> float:
    """The resident set, in MiB."""
    return status_mib("VmRSS")
