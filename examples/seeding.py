"""Seeds for independent walk streams, derived from one base seed."""

import hashlib


def derive_seed(base_seed: int, stream: int) -> int:
    """A 64-bit seed for stream number `stream` (a worker, a shard, an epoch...).

    Neighbouring base seeds or streams give unrelated seeds, and the result
    depends on nothing but the two numbers.
    """
    digest = hashlib.blake2b(f"{base_seed}:{stream}".encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")
