"""The torch policy net, by its former import path: it lives in `tavrin_rl.nets.torch_net`."""

from __future__ import annotations

from tavrin_rl.nets.torch_net import PolicyNet, segment_log_softmax

__all__ = ["PolicyNet", "segment_log_softmax"]
