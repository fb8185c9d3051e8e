"""What the end-to-end scripts in tests/ share: ports on loopback."""
import socket
import sys
import time


def free_port():
    """A port that was free a moment ago (bound to 0, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, seconds=10):
    """Returns once something listens on `port`; ends the script if nothing does in time."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    sys.exit(f"nothing listens on port {port}")
