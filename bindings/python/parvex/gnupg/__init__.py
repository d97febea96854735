"""GnuPG from Python: its private key files, keygrips, gpg-agent, and keys
as `cryptography` objects.

- `read_key_file` and `KeyFile`: the `*.key` files of `private-keys-v1.d`,
  in either of GnuPG's forms, read and written back;
- `keygrip`: the keygrip of any key libgcrypt computes one for;
- `Agent`: a client of a running gpg-agent, which signs and decrypts with
  the keys it holds (`AgentError` for what the agent refuses);
- `public_key` and `private_key`: keys as `cryptography` objects (with the
  extra `parvex[crypto]`).
"""

from ._agent import Agent, AgentError
from ._crypto import private_key, public_key
from ._keyfile import KeyFile, read_key_file
from ._keygrip import keygrip

__all__ = ["KeyFile", "read_key_file", "keygrip", "Agent", "AgentError", "public_key",
           "private_key"]

for _name in __all__:
    globals()[_name].__module__ = __name__
# The examples of the functions' docstrings, for doctest.testmod.
__test__ = {"read_key_file": read_key_file, "keygrip": keygrip}
