"""Writes plain EDF and BDF files (no annotations channel), so that readers of those formats can be
tested on real files without an exporting library."""
import numpy as np


def write_edf(path, microvolts, names, rate, bdf=False):
    """`microvolts` is channels x samples; one data record per second (the tail is zero-padded)."""
    data = np.asarray(microvolts, dtype=np.float64)
    rate = int(rate)
    records = -(-data.shape[1] // rate)
    padded = np.zeros((len(names), records * rate))
    padded[:, :data.shape[1]] = data
    digital_max = 2**23 - 1 if bdf else 2**15 - 1
    physical_max = max(1.0, float(np.abs(padded).max()) * 1.01)
    counts = np.rint(padded / physical_max * digital_max).astype(np.int32)

    def field(value, width):
        return str(value)[:width].ljust(width).encode("ascii")

    ns = len(names)
    header = (b"\xffBIOSEMI" if bdf else field(0, 8)) + field("X X X X", 80) + field("Startdate X X X X", 80)
    header += field("01.01.20", 8) + field("00.00.00", 8) + field(256 * (ns + 1), 8)
    header += field("24BIT" if bdf else "", 44) + field(records, 8) + field(1, 8) + field(ns, 4)
    columns = [names, ["AgAgCl electrode"] * ns, ["uV"] * ns, [f"{-physical_max:.3f}"] * ns,
               [f"{physical_max:.3f}"] * ns, [-digital_max] * ns, [digital_max] * ns, [""] * ns,
               [rate] * ns, [""] * ns]
    for values, width in zip(columns, (16, 80, 8, 8, 8, 8, 8, 80, 8, 32)):
        header += b"".join(field(v, width) for v in values)
    # Records hold each channel's second of samples in turn, little-endian 16- or 24-bit.
    blocks = counts.reshape(ns, records, rate).transpose(1, 0, 2).reshape(-1)
    if bdf:
        raw = blocks.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    else:
        raw = blocks.astype("<i2").tobytes()
    with open(path, "wb") as f:
        f.write(header + raw)
    return path
