#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/). Each seed is a small,
readable case in the target's input language; the fuzzer mutates from there."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# ---- recv_assembly: config byte, then ops (kind | arg << 3) --------------------------------
BOUND = {"default": 0, "1": 1, "100": 3, "1024": 7, "5000": 10, "65536": 11, "max": 14, "zero": 15}
READ = {"any": 0, "1": 1, "3": 2, "7": 3, "64": 4, "500": 5, "1023": 6, "1500": 7}


def config(bound="default", pure=False, read="any"):
    return bytes([BOUND[bound] | (0x10 if pure else 0) | (READ[read] << 5)])


def frame(n):            # kind 0: a frame of n payload bytes
    return bytes([0]) + struct.pack("<H", n)


def near_bound(delta):   # kind 1: a length field of bound + delta (-2..2)
    return bytes([1 | ((delta + 2) << 3)])


def zeros(count=1):      # kind 2: zero length fields
    return bytes([2 | ((count - 1) << 3)])


def header(value, tail=b""):  # kind 3: any length field and up to 31 bytes behind it
    return bytes([3 | (len(tail) << 3)]) + struct.pack(">I", value) + tail


def raw(data):           # kind 4: 1 to 32 raw bytes
    return bytes([4 | ((len(data) - 1) << 3)]) + data


CUT = bytes([5])


def event(take=True, error_event=False, failing_read=False):
    return bytes([6 | ((int(take) | int(error_event) << 1 | int(failing_read) << 2) << 3)])


def small(n37):          # kind 7: a frame of n37 * 37 payload bytes
    return bytes([7 | (n37 << 3)])


RECV = {
    "abc_one_read": config() + raw(b"\0\0\0\3abc") + event(),
    "abc_two_reads": config() + raw(b"\0\0") + event() + raw(b"\0\3abc") + event(),
    "two_frames_and_a_half": config() + small(1) + small(2) + raw(b"\0\0\0") + event(),
    "frame_2000": config() + frame(2000) + event(),
    "frame_5000_in_one_event": config() + frame(5000) + event(),
    "frame_3068_growth_capped_at_the_frame": config() + frame(3068) + small(1) + event(),
    "frame_65535_doubling_to_the_cap": config() + frame(65535) + event() + event(),
    "zero_length_then_frame": config() + zeros(2) + small(3) + event(),
    "above_bound_after_packets": config("5000") + small(1) + near_bound(1) + small(2) + event(),
    "at_bound": config("5000") + near_bound(0) + near_bound(-1) + event(),
    "all_ones_header": config() + small(4) + header(0xFFFFFFFF, b"xyz") + event(),
    "unusable_length_no_bound": config("max") + small(1) + header(0xFFFFFFFD, b"abcdefgh") + event(),
    "byte_at_a_time": config(read="1") + small(1) + zeros() + frame(1500) + small(0) + event(),
    "many_reads_waiting": config(read="64") + frame(3000) + small(10) + event(take=False) + event(),
    "error_event_and_failing_read": config() + small(2) + event(error_event=True, failing_read=True) + small(5) + event(),
    "cuts_inside_frames": config() + raw(b"\0\0\4") + CUT + raw(b"\0\1\2") + CUT + raw(b"\3") + event(),
    "pure_2500": config(pure=True) + frame(2496) + event(),
    "pure_small_reads": config(pure=True, read="7") + small(3) + zeros() + event(take=False) + small(1) + event(),
    "bound_zero": config("zero") + zeros() + small(1) + event(),
    "bound_one": config("1") + raw(b"\0\0\0\1Z") + small(1) + event(),
    "large_frames_in_pieces_then_small": config(read="1500") + frame(16385) + frame(40000) + small(1)
    + event(take=False) + event(),
    "large_frame_cut_by_failing_read": config() + zeros() + frame(30000) + CUT + small(2)
    + event(failing_read=True) + event(),
    "announced_near_max_bound": config("max") + header(0x7FFFFFF0, b"abc") + event(),
}

# ---- notify_dispatch: ops (kind | arg << 3) -----------------------------------------------


def notify(slot, event_index, error, post=False):
    return bytes([(1 if post else 0) | (slot << 3), event_index]) + struct.pack(">H", error)


def notify_raw(w, l):
    return bytes([0 | (0x10 << 3)]) + struct.pack(">Q", w) + bytes([0x80]) + struct.pack(">Q", l)


def add(slot):
    return bytes([2 | (slot << 3)])


def remove(slot):
    return bytes([3 | (slot << 3)])


def add_null():
    return bytes([2 | (30 << 3)])


def set_handle_small(slot, value):
    return bytes([4 | (slot << 3), 2 | (value << 3)])


def set_handle_invalid(slot):
    return bytes([4 | (slot << 3), 0])


def set_handle_zero(slot):
    return bytes([4 | (slot << 3), 1])


def set_window(slot, choice):   # 0 own, 1 foreign, 2 destroyed, 3 NULL
    return bytes([5 | (slot << 3), choice])


def self_destruct(slot):
    return bytes([6 | (slot << 3)])


NOTIFY = {
    "register_and_dispatch": set_handle_small(0, 5) + add(0) + notify(0, 0, 0) + notify(0, 5, 10054),
    "all_events_and_bad_ones": set_handle_small(1, 9) + add(1) + b"".join(notify(1, e, 7) for e in range(8)),
    "error_ffff": set_handle_small(0, 3) + add(0) + notify(0, 5, 0xFFFF),
    "zero_zero_and_key_zero": set_handle_zero(2) + add(2) + notify_raw(0, 0) + notify_raw(0, 0x20),
    "second_object_replaces_first": set_handle_small(0, 4) + set_handle_small(1, 4) + add(0) + add(1) + notify(0, 0, 0),
    "remove_closed_socket": set_handle_small(0, 6) + add(0) + set_handle_invalid(0) + remove(0) + notify_raw(6, 1),
    "remove_via_other_object": set_handle_small(0, 8) + add(0) + set_handle_small(1, 8) + remove(1) + notify(0, 0, 0),
    "dead_notify_window": set_handle_small(0, 2) + add(0) + set_window(0, 2) + notify(0, 0, 0) + set_window(0, 3) + notify(0, 0, 0),
    "self_destruct_in_handler": set_handle_small(3, 7) + add(3) + self_destruct(3) + notify(3, 5, 10054) + notify_raw(7, 0x20),
    "posted_notifications": set_handle_small(4, 1) + add(4) + notify(4, 0, 0, post=True) + notify(4, 1, 0, post=True),
    "null_and_invalid_registrations": add_null() + add(5) + remove(5) + bytes([3 | (31 << 3)]),
}


def write(target, seeds):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


write("recv_assembly", RECV)
write("notify_dispatch", NOTIFY)
