#!/usr/bin/env python3
"""speak.py: say one line through the synthesizer from Python (ctypes) and
print the reply bytes that come back.

    python3 speak.py "Hello, world."

The library is found as $QZUSBD_LIBRARY when that is set, else by its usual
name (libqzusbd.so.0 on Linux, qzusbd.dll on Windows). After the text it
sends an index marker (0x01 '99' 0x01) and waits for its reply byte 99, which
the synthesizer sends once it has spoken everything. Exit code 0 when the text
was spoken, 1 when the library cannot be loaded, no synthesizer is connected,
it goes away, or the text is not spoken within 30 seconds.
"""
import ctypes
import ctypes.util
import os
import sys
import time

END_MARKER = 99


def load_library():
    path = os.environ.get("QZUSBD_LIBRARY")
    if sys.platform == "win32":
        # The 32-bit DLL uses the stdcall convention: WinDLL handles both.
        return ctypes.WinDLL(path or "qzusbd.dll")
    return ctypes.CDLL(path or ctypes.util.find_library("qzusbd") or "libqzusbd.so.0")


def main():
    text = sys.argv[1] if len(sys.argv) > 1 else "Hello from qzusbd."
    try:
        qz = load_library()  # loading it opens the connection
    except OSError as e:
        print("speak.py: cannot load the qzusbd library (%s); set QZUSBD_LIBRARY to the path of "
              "libqzusbd.so (qzusbd.dll on Windows)" % e, file=sys.stderr)
        return 1
    for name in ("USBQZ_CheckWdmStatus", "USBQZ_ReadByte", "USBQZ_ReadyCheck"):
        getattr(qz, name).restype = ctypes.c_int32
        getattr(qz, name).argtypes = []
    qz.USBQZ_WriteByte.restype = None
    qz.USBQZ_WriteByte.argtypes = [ctypes.c_int32]
    qz.USBQZ_WriteString.restype = ctypes.c_int32
    qz.USBQZ_WriteString.argtypes = [ctypes.c_char_p, ctypes.c_int32]

    if not qz.USBQZ_CheckWdmStatus():
        print("speak.py: no synthesizer is connected (run qzdoctor to see why)", file=sys.stderr)
        return 1

    for byte in text.encode("ascii", "replace") + b"\r\x0199\x01":
        tries = 0
        while not qz.USBQZ_ReadyCheck() and tries < 100:  # keeps WriteByte from blocking
            time.sleep(0.01)
            tries += 1
        qz.USBQZ_WriteByte(byte)

    # Collect reply bytes until the end marker's comes back: each call both
    # fetches a byte polled earlier and asks for the next poll.
    deadline = time.monotonic() + 30.0
    while time.monotonic() < deadline:
        reply = qz.USBQZ_ReadByte()
        if reply == END_MARKER:
            print("spoke", len(text), "bytes")
            return 0
        if reply >= 0:
            print("reply", reply)
        elif not qz.USBQZ_CheckWdmStatus():
            print("speak.py: the synthesizer was disconnected", file=sys.stderr)
            return 1
        else:
            time.sleep(0.02)
    print("speak.py: the synthesizer did not finish within 30 seconds", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
