"""Code for a memory probe run in a fresh interpreter: `status(key)` reads a
size from /proc/self/status, and the peak resident size (VmHWM) is reset
where the kernel allows it, so that a later peak is the measured work's.
Defines `base`, the resident size after the reset."""

RESET_PEAK = """
def status(key):
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key + ':'))

try:
    with open('/proc/self/clear_refs', 'w') as f:
        f.write('5')
except OSError:
    pass
base = status('VmRSS')
"""
