"""Keyed operations: semantics, order of checks, expiry and budgets."""

import time

import pytest

from client import CoordinatorError


def fails(client, text, op, body=None, payload=b""):
    with pytest.raises(CoordinatorError) as info:
        client.call(op, body, payload)
    assert str(info.value) == text


# -- byte values ------------------------------------------------------------------

def test_put_get_delete(client):
    assert client.get("k") is None
    assert client.put("k", b"") is True
    assert client.get("k") == b""
    assert client.put("k", b"\x00\xff" * 3000) is True      # over 4096: written from the stored buffer
    assert client.get("k") == b"\x00\xff" * 3000
    assert client.put("k", b"x" * 4096) is True
    assert client.get("k") == b"x" * 4096
    assert client.delete("k") == 1
    assert client.delete("k") == 0
    fails(client, "invalid: byte values must use the binary payload", "put", {"key": "k", "value": None})
    assert client.get("k") is None


def test_namespaces_are_separate(server):
    with server.client("alpha") as a, server.client("beta") as b:
        a.put("shared", b"A")
        assert b.get("shared") is None
        b.put("shared", b"B")
        assert a.get("shared") == b"A"


def test_put_replaces_any_kind_and_type_errors(client):
    client.call("add_members", {"key": "s", "members": ["00"]})
    fails(client, "type: expected a byte value", "get", {"key": "s"})
    fails(client, "type: expected a byte value", "increment", {"key": "s", "amount": 1})
    assert client.acquire_lock("l", "me", 60000) is True
    fails(client, "type: expected a byte value", "get", {"key": "l"})
    fails(client, "type: expected a set", "members", {"key": "l"})
    client.put("b", b"1")
    for op, body in [("members", {}), ("add_members", {"members": []}),
                     ("remove_members", {"members": []}), ("contains", {"member": "00"})]:
        fails(client, "type: expected a set", op, {"key": "b", **body})
    assert client.put("s", b"now bytes") is True
    assert client.put("l", b"now bytes") is True
    assert client.get("s") == client.get("l") == b"now bytes"


# -- increment -----------------------------------------------------------------------

def test_increment(client):
    assert client.increment("c", 0) == 0
    assert client.get("c") == b"0"
    client.put("c", b"007")
    assert client.increment("c", 1) == 8
    assert client.get("c") == b"8"
    assert client.increment("c", -20) == -12
    assert client.get("c") == b"-12"
    client.put("c", b"+5")
    assert client.increment("c", -5) == 0
    for bad in [b" 1", b"1 ", b"", b"-", b"1.0", b"0x1", b"9223372036854775808",
                b"-9223372036854775809", b"18446744073709551617", b"\xd9\xa1"]:
        client.put("bad", bad)
        fails(client, "invalid: value is not an integer", "increment", {"key": "bad", "amount": 1})
        assert client.get("bad") == bad
    client.put("big", b"9223372036854775807")
    fails(client, "invalid: integer overflow", "increment", {"key": "big", "amount": 1})
    assert client.get("big") == b"9223372036854775807"
    client.put("small", b"-9223372036854775808")
    fails(client, "invalid: integer overflow", "increment", {"key": "small", "amount": -1})
    assert client.increment("small", 9223372036854775807) == -1


@pytest.mark.parametrize("amount", [None, 1.0, 1e2, "1", True, [], 9223372036854775808, -9223372036854775809])
def test_increment_amount_must_be_a_signed_64_bit_integer(client, amount):
    body = {"key": "n"} if amount is None else {"key": "n", "amount": amount}
    fails(client, "invalid: amount must be an integer", "increment", body)
    assert client.get("n") is None


def test_increment_keeps_expiry(client):
    client.put("c", b"1", ttl_ms=3600000)
    client.increment("c", 1)
    assert 0 <= client.call("ttl", {"key": "c"}) <= 3600   # -1 would be an expiry dropped


# -- expiry ----------------------------------------------------------------------------

def test_ttl_and_expiry(client):
    assert client.call("ttl", {"key": "k"}) == -2
    client.put("k", b"v")
    assert client.call("ttl", {"key": "k"}) == -1
    assert client.call("expire", {"key": "k", "ttl_ms": 3600000}) is True
    assert 0 <= client.call("ttl", {"key": "k"}) <= 3600
    assert client.call("expire", {"key": "absent", "ttl_ms": 1000}) is False
    assert client.get("absent") is None
    fails(client, "invalid: expiry is required", "expire", {"key": "k"})
    fails(client, "invalid: expiry is required", "expire", {"key": "k", "ttl_ms": None})
    client.put("k", b"v", ttl_ms=18446744073709551615)   # the largest TTL is representable
    assert client.call("ttl", {"key": "k"}) == 18446744073709551
    client.put("k", b"v")                                  # a new put drops the old expiry
    assert client.call("ttl", {"key": "k"}) == -1
    client.put("short", b"v", ttl_ms=30)
    time.sleep(0.1)
    assert client.get("short") is None
    assert client.call("ttl", {"key": "short"}) == -2


@pytest.mark.parametrize("ttl", [0, -1, 1.0, 1e3, "5", True, [], {}, 18446744073709551616])
def test_bad_ttl(client, ttl):
    for op, body in [("put", {}), ("expire", {}), ("acquire_lock", {"owner": "o"})]:
        fails(client, "invalid: ttl_ms must be a positive integer", op, {"key": "k", "ttl_ms": ttl, **body})
    assert client.get("k") is None


# -- sets ------------------------------------------------------------------------------

def test_members(client):
    assert client.call("add_members", {"key": "s", "members": ["AB", "ab"]}) == 1
    assert client.call("members", {"key": "s"}) == ["ab"]
    assert client.call("add_members", {"key": "s", "members": ["", "00", "ab"]}) == 2
    assert sorted(client.call("members", {"key": "s"})) == ["", "00", "ab"]
    assert client.call("contains", {"key": "s", "member": "AB"}) is True
    assert client.call("contains", {"key": "s", "member": "01"}) is False
    assert client.call("contains", {"key": "none", "member": "01"}) is False
    assert client.call("remove_members", {"key": "s", "members": ["AB", "ab", "ff"]}) == 1
    assert client.call("remove_members", {"key": "s", "members": ["", "00"]}) == 2
    assert client.call("members", {"key": "s"}) == []
    assert client.call("ttl", {"key": "s"}) == -2        # emptied set removes the key
    assert client.call("add_members", {"key": "e", "members": []}) == 0
    assert client.call("ttl", {"key": "e"}) == -2
    assert client.call("remove_members", {"key": "e", "members": ["00"]}) == 0


def test_member_validation_changes_nothing(client):
    client.call("add_members", {"key": "s", "members": ["01"]})
    for body, text in [
        ({"members": ["ab", "xyz"]}, "invalid: member must be hexadecimal bytes"),
        ({"members": ["ab", "abc"]}, "invalid: member must be hexadecimal bytes"),
        ({"members": ["ab", 5]}, "invalid: member must be a string"),
        ({"members": "ab"}, "invalid: members must be an array"),
        ({}, "invalid: members must be an array"),
    ]:
        fails(client, text, "add_members", {"key": "s", **body})
        fails(client, text, "remove_members", {"key": "s", **body})
    assert client.call("members", {"key": "s"}) == ["01"]
    fails(client, "invalid: payload must be hexadecimal bytes", "contains", {"key": "s", "member": "0g"})
    fails(client, "invalid: missing string member", "contains", {"key": "s"})
    # "contains" reads its member before looking at the entry's kind.
    client.put("b", b"1")
    fails(client, "invalid: payload must be hexadecimal bytes", "contains", {"key": "b", "member": "0"})


def test_set_keeps_expiry(client):
    client.call("add_members", {"key": "s", "members": ["01"]})
    client.call("expire", {"key": "s", "ttl_ms": 3600000})
    client.call("add_members", {"key": "s", "members": ["02"]})
    client.call("remove_members", {"key": "s", "members": ["01"]})
    assert 0 <= client.call("ttl", {"key": "s"}) <= 3600


# -- locks -----------------------------------------------------------------------------

def test_locks(client):
    # Held locks last an hour, so that no pause of the machine expires them;
    # only the 1 ms one is meant to expire.
    assert client.acquire_lock("l", "me", 3600000) is True
    assert client.acquire_lock("l", "me", 3600000) is False
    assert client.release_lock("l", "you") is False
    assert client.acquire_lock("l", "you", 3600000) is False
    assert client.release_lock("l", "me") is True
    assert client.acquire_lock("l", "me", 1) is True
    time.sleep(0.05)
    assert client.acquire_lock("l", "you", 3600000) is True
    assert client.release_lock("l", "me") is False
    assert client.release_lock("l", "you") is True
    assert client.release_lock("l", "you") is False
    client.put("b", b"x")
    assert client.acquire_lock("b", "me", 1000) is False
    assert client.release_lock("b", "me") is False
    assert client.get("b") == b"x"
    fails(client, "invalid: invalid lock owner", "acquire_lock", {"key": "l", "owner": "", "ttl_ms": 5})
    fails(client, "invalid: invalid lock owner", "acquire_lock", {"key": "l", "owner": "o" * 129, "ttl_ms": 5})
    fails(client, "invalid: locks require a TTL", "acquire_lock", {"key": "l", "owner": "o"})
    fails(client, "invalid: missing string owner", "acquire_lock", {"key": "l", "owner": 1, "ttl_ms": 5})
    fails(client, "invalid: missing string owner", "release_lock", {"key": "l"})
    assert client.acquire_lock("l", "o" * 128, 60000) is True
    assert client.release_lock("l", "o" * 128) is True


# -- budgets ----------------------------------------------------------------------------

def pipelined(c, requests):
    c.send(b"".join(c.request_bytes(op, body, payload) for op, body, payload in requests))
    return [c.read_reply() for _ in requests]


def test_entry_limit(fresh_server):
    with fresh_server.client("n") as c:
        for start in range(0, 100000, 5000):
            replies = pipelined(c, [("put", {"key": str(i)}, b"") for i in range(start, start + 5000)])
            assert replies == [True] * 5000
        assert c.put("0", b"replace is fine") is True
        for op, body in [("put", {}), ("increment", {"amount": 1}), ("add_members", {"members": ["00"]}),
                         ("acquire_lock", {"owner": "o", "ttl_ms": 1000})]:
            fails(c, "capacity: shared-state budget exceeded", op, {"key": "new", **body})
        with fresh_server.client("other") as d:
            fails(d, "capacity: shared-state budget exceeded", "put", {"key": "x"})
        assert c.delete("5") == 1
        assert c.put("new", b"") is True


def test_usage_and_value_budgets(fresh_server):
    with fresh_server.client("u") as c:
        big = b"v" * 8388608
        # Each entry accounts 1 + 1 + 8388608 + 128 bytes; 15 of them fit in 128 MiB.
        for i in range(15):
            assert c.put(f"{i:x}", big) is True
        fails(c, "capacity: shared-state budget exceeded", "put", {"key": "f"}, big)
        assert c.get("f") is None
        assert c.put("0", big) is True                       # same size replaces in place
        left = 134217728 - 15 * (1 + 1 + 8388608 + 128) - (1 + 1 + 128)
        fails(c, "capacity: shared-state budget exceeded", "put", {"key": "f"}, b"v" * (left + 1))
        assert c.put("f", b"v" * left) is True               # exactly at the budget
        fails(c, "capacity: shared-state budget exceeded", "put", {"key": "g"}, b"")
        assert c.delete("1") == 1
        assert c.put("g", b"") is True
        # A set may not pass the single-value limit of 16776064 bytes either.
        for i in range(2, 15):
            c.delete(f"{i:x}")
        members = [f"{i:08x}" + "00" * 32764 for i in range(255)]
        assert c.call("add_members", {"key": "set", "members": members}) == 255     # 255*(65536+64)
        fails(c, "capacity: shared-state budget exceeded", "add_members",
              {"key": "set", "members": ["ff" * 32768]})
        assert len(c.call("members", {"key": "set"})) == 255


# -- concurrency --------------------------------------------------------------------------

def test_concurrent_increments_and_writes_lose_nothing(server):
    import threading
    threads, errors = [], []
    values = [bytes([i]) * (1000 + i * 700) for i in range(8)]

    def worker(n):
        try:
            with server.client("conc") as c:
                for i in range(300):
                    c.increment("counter", 1)
                    c.increment(f"own{n}", 2)
                    c.put("shared", values[(n + i) % 8])
                    got = c.get("shared")
                    assert got in values, "torn value"
        except Exception as e:  # surfaced below
            errors.append(e)

    for n in range(16):
        threads.append(threading.Thread(target=worker, args=(n,)))
        threads[-1].start()
    for t in threads:
        t.join()
    assert not errors
    with server.client("conc") as c:
        assert c.get("counter") == b"4800"
        assert all(c.get(f"own{n}") == b"600" for n in range(16))


@pytest.mark.slow
def test_sweeper_frees_expired_entries(fresh_server):
    with fresh_server.client("sweep") as c:
        for start in range(0, 100000, 5000):
            replies = pipelined(c, [("put", {"key": str(i), "ttl_ms": 1000}, b"x")
                                    for i in range(start, start + 5000)])
            assert replies == [True] * 5000
        # Only the once-a-second sweep can make room: none of these keys is
        # touched again. (The first ones may have expired while the last were
        # put; room appears once all have and a sweep has run since.)
        for _ in range(600):
            try:
                assert c.put("fresh", b"y") is True
                break
            except CoordinatorError as e:
                assert str(e) == "capacity: shared-state budget exceeded"
                time.sleep(0.1)
        else:
            pytest.fail("expired entries were never swept")
        assert c.call("ttl", {"key": "0"}) == -2
