#!/usr/bin/env python3
"""scan_to_numpy: runs a finite scan, gets it as a numpy array and prints
per-channel statistics; plots the scan to a PNG file when matplotlib is there.

    korvel-sim --address 127.0.0.5 --fast &
    KORVEL_LIBRARY=build/dev/src/libkorvel.so \\
        python3 examples/python/scan_to_numpy.py 127.0.0.5 --channels 4
"""

import argparse
import sys
from pathlib import Path

try:
    import korvel
except ImportError:  # not installed: use the package of this source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import korvel


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("address", help="a.b.c.d[,cmdport[,dataport]]")
    ap.add_argument("--channels", type=int, default=4)
    ap.add_argument("--rate", type=int, default=10000, help="scans per second")
    ap.add_argument("--scans", type=int, default=5000)
    ap.add_argument("--gain", type=int, default=0, help="range code (LX-3100: 0 +-5 V, 1 +-10 V)")
    ap.add_argument("--plot", metavar="FILE.png", default="scan.png",
                    help="plot the scan into this file (default scan.png; '' for none)")
    args = ap.parse_args()

    try:
        with korvel.Device(args.address) as dev:
            print(f"{dev.model} at {args.address}, firmware {dev.firmware_version}")
            volts = dev.acquire(args.channels, args.rate, args.scans, gain=args.gain)
    except korvel.KorvelError as e:
        print(f"error: {e}", file=sys.stderr)
        return 1

    print(f"{volts.shape[0]} scans x {volts.shape[1]} channels ({volts.dtype})")
    print("channel        min       mean        max        std")
    for c, column in enumerate(volts.T):
        print(f"{c:7d} {column.min():10.4f} {column.mean():10.4f} "
              f"{column.max():10.4f} {column.std():10.4f}")

    if args.plot:
        try:
            import matplotlib
            matplotlib.use("Agg")
            import matplotlib.pyplot as plt
        except ImportError:
            print("matplotlib is not installed: skipping the plot")
            return 0
        t = [i / args.rate for i in range(volts.shape[0])]
        fig, ax = plt.subplots(figsize=(10, 4))
        for c in range(volts.shape[1]):
            ax.plot(t, volts[:, c], label=f"ch {c}", linewidth=0.8)
        ax.set_xlabel("time (s)")
        ax.set_ylabel("volts")
        ax.legend(loc="upper right")
        fig.savefig(args.plot, dpi=100, bbox_inches="tight")
        print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
