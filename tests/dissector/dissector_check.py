"""What both dissector tests share: the image key as the utility is built with it, running tshark
with the dissector on a capture, and reading its decoded fields back."""
import os
import re
import subprocess
import xml.etree.ElementTree as ElementTree


def header_image_key(source_dir):
    """The 32 bytes of ImageKey in image/image_buffer.h."""
    with open(os.path.join(source_dir, "image", "image_buffer.h"), encoding="utf-8") as f:
        match = re.search(r"\bImageKey\s*=\s*\{([^}]*)\}", f.read())
    key = bytes(int(value, 16) for value in re.findall(r"0x([0-9A-Fa-f]{2})", match.group(1)))
    assert len(key) == 32, "ImageKey in image/image_buffer.h is not 32 bytes"
    return key


def dissector_image_key(dissector):
    """The key constant written in the dissector."""
    with open(dissector, encoding="utf-8") as f:
        match = re.search(r"DEFAULT_IMAGE_KEY\s*=\s*((?:\"[0-9A-Fa-f]*\"\s*(?:\.\.\s*)?)+)",
                          f.read())
    return bytes.fromhex("".join(re.findall(r"\"([0-9A-Fa-f]*)\"", match.group(1))))


def decode(tshark, dissector, capture, extra=()):
    """Runs tshark with the dissector over the capture and returns one dict per packet that the
    dissector took: field name -> list of (show, showname, value) in tree order."""
    result = subprocess.run(
        [tshark, "-n", "-X", "lua_script:" + dissector, "-r", capture, *extra, "-T", "pdml"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    if result.returncode != 0:
        raise RuntimeError("tshark failed: " + result.stderr.decode(errors="replace"))
    packets = []
    for packet in ElementTree.fromstring(result.stdout).iter("packet"):
        proto = next((p for p in packet.iter("proto") if p.get("name") == "torvane"), None)
        fields = {}
        if proto is not None:
            for field in proto.iter("field"):
                fields.setdefault(field.get("name"), []).append(
                    (field.get("show"), field.get("showname"), field.get("value")))
        packets.append(fields)
    return packets


def show(fields, name, index=0):
    values = fields.get(name, [])
    return values[index][0] if index < len(values) else None


def showname(fields, name, index=0):
    values = fields.get(name, [])
    return values[index][1] if index < len(values) else None


def value_bytes(fields, name):
    """The bytes of a bytes field, from its shown text (hex digits, possibly with colons)."""
    text = show(fields, name)
    return None if text is None else bytes.fromhex(text.replace(":", ""))


def unmask_record(record, key):
    """Takes the pad off a block record as a device does: (command, offset, data)."""
    pad = record[262:326]
    offset = int.from_bytes(bytes(record[2 + i] ^ pad[17 + i] for i in range(4)), "big")
    data = bytes(record[6 + i] ^ pad[i % 64] ^ key[i % 32] for i in range(256))
    return record[0], offset, data
