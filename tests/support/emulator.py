"""tessaline-emu for the scripted tests: started, and returned once it serves the pipe."""
import subprocess
import time


def start_emulator(command, output, cwd=None, timeout=60):
    """Starts COMMAND (the emulator under Wine, without --quiet) with its standard output in the file
    OUTPUT, and waits until it says it serves the pipe, it ends, or TIMEOUT seconds pass: Wine may take
    longer to start it on a busy machine than a client waits for its connection. Returns the process
    and whether it serves."""
    with open(output, "w"):
        pass  # emptied first: an earlier run's lines must not pass for this one's
    out = open(output, "ab")
    process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    out.close()  # the emulator holds its own handle
    deadline = time.time() + timeout
    while time.time() < deadline and process.poll() is None:
        with open(output, encoding="utf-8", errors="replace") as f:
            if " serving " in f.read():
                return process, True
        time.sleep(0.1)
    return process, False
