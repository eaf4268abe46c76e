"""Hand-made game states for tests: the 278-byte layout written out directly."""

ALL_PIECES = 0x1FFFFF
BOARD = [r * 21 + c for r in range(20) for c in range(20)]


def board_image(positions):
    """The 64-byte image of a board: the limb of positions 384..511 first."""
    image = bytearray(64)
    for p in positions:
        image[16 * (3 - p // 128) + (p % 128) // 8] |= 1 << (p % 8)
    return bytes(image)


def state(agents, agent_selection=0):
    """State bytes from four (cells, pieces mask, last piece code) triples."""
    out = bytearray([1])
    for cells, mask, last in agents:
        out += board_image(cells) + mask.to_bytes(4, "little") + bytes([last])
    out.append(agent_selection)
    return bytes(out)
