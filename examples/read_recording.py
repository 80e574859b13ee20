#!/usr/bin/env python3
"""Reads a recording through the Neuroshare library with nothing but ctypes.

    read_recording.py [--lib PATH] RECORDING [ENTITY]

Loads the library by path (default: libnsvslorfx.so.2 where the system's
loader finds it, as the nsvslorfx package installs it), prints the file
information and a table of the recording's entities, then reads the analog
entity ENTITY (default: the first analog one) into an array (a numpy array
when numpy is there) and prints its first values and its mean.

The records are declared without _pack_, so ctypes lays them out with natural
alignment (every double on an 8-byte boundary); the library recognises that
layout by the record size passed, which is ctypes.sizeof of the record.
"""
import argparse
import ctypes
import sys

try:
    import numpy
except ImportError:
    numpy = None

ENTITY_TYPES = {0: "unknown", 1: "event", 2: "analog", 3: "segment", 4: "neural"}
ENTITY_ANALOG = 2


class FileInfo(ctypes.Structure):
    _fields_ = [
        ("szFileType", ctypes.c_char * 32),
        ("dwEntityCount", ctypes.c_uint32),
        ("dTimeStampResolution", ctypes.c_double),
        ("dTimeSpan", ctypes.c_double),
        ("szAppName", ctypes.c_char * 64),
        ("dwTime_Year", ctypes.c_uint32),
        ("dwTime_Month", ctypes.c_uint32),
        ("dwTime_DayofWeek", ctypes.c_uint32),
        ("dwTime_Day", ctypes.c_uint32),
        ("dwTime_Hour", ctypes.c_uint32),
        ("dwTime_Min", ctypes.c_uint32),
        ("dwTime_Sec", ctypes.c_uint32),
        ("dwTime_MilliSec", ctypes.c_uint32),
        ("szFileComment", ctypes.c_char * 256),
    ]


class EntityInfo(ctypes.Structure):
    _fields_ = [
        ("szEntityLabel", ctypes.c_char * 32),
        ("dwEntityType", ctypes.c_uint32),
        ("dwItemCount", ctypes.c_uint32),
    ]


class AnalogInfo(ctypes.Structure):
    _fields_ = [
        ("dSampleRate", ctypes.c_double),
        ("dMinVal", ctypes.c_double),
        ("dMaxVal", ctypes.c_double),
        ("szUnits", ctypes.c_char * 16),
        ("dResolution", ctypes.c_double),
        ("dLocationX", ctypes.c_double),
        ("dLocationY", ctypes.c_double),
        ("dLocationZ", ctypes.c_double),
        ("dLocationUser", ctypes.c_double),
        ("dHighFreqCorner", ctypes.c_double),
        ("dwHighFreqOrder", ctypes.c_uint32),
        ("szHighFilterType", ctypes.c_char * 16),
        ("dLowFreqCorner", ctypes.c_double),
        ("dwLowFreqOrder", ctypes.c_uint32),
        ("szLowFilterType", ctypes.c_char * 16),
        ("szProbeInfo", ctypes.c_char * 128),
    ]


class NeuroshareError(Exception):
    pass


class Library:
    """The ns_ functions of a loaded library, with their argument types."""

    def __init__(self, path):
        self.dll = ctypes.CDLL(path)
        u32, p = ctypes.c_uint32, ctypes.POINTER
        signatures = {
            "ns_OpenFile": [ctypes.c_char_p, p(u32)],
            "ns_CloseFile": [u32],
            "ns_GetLastErrorMsg": [ctypes.c_char_p, u32],
            "ns_GetFileInfo": [u32, p(FileInfo), u32],
            "ns_GetEntityInfo": [u32, u32, p(EntityInfo), u32],
            "ns_GetAnalogInfo": [u32, u32, p(AnalogInfo), u32],
            "ns_GetAnalogData": [u32, u32, u32, u32, p(u32), p(ctypes.c_double)],
        }
        for name, argtypes in signatures.items():
            function = getattr(self.dll, name)
            function.argtypes = argtypes
            function.restype = ctypes.c_int32
            setattr(self, name[3:], function)

    def check(self, result, call):
        if result != 0:
            text = ctypes.create_string_buffer(256)
            self.GetLastErrorMsg(text, ctypes.sizeof(text))
            raise NeuroshareError("%s: %d: %s" % (call, result, text.value.decode("utf-8", "replace")))


def text(field):
    return field.decode("utf-8", "replace")


def read_analog(lib, file_id, entity, count):
    """All count samples of an analog entity, in calls of at most 100,000."""
    values = (ctypes.c_double * count)() if count else (ctypes.c_double * 1)()
    done = 0
    while done < count:
        n = min(count - done, 100000)
        cont = ctypes.c_uint32()
        chunk = ctypes.cast(ctypes.addressof(values) + done * ctypes.sizeof(ctypes.c_double),
                            ctypes.POINTER(ctypes.c_double))
        lib.check(lib.GetAnalogData(file_id, entity, done, n, ctypes.byref(cont), chunk),
                  "ns_GetAnalogData")
        done += n
    if numpy is not None:
        return numpy.ctypeslib.as_array(values)[:count].copy()
    return list(values)[:count]


def main():
    parser = argparse.ArgumentParser(description="List a recording's entities and read one analog entity.")
    parser.add_argument("--lib", default="libnsvslorfx.so.2", help="path of the Neuroshare library")
    parser.add_argument("recording")
    parser.add_argument("entity", nargs="?", type=int, help="the analog entity to read")
    args = parser.parse_args()

    lib = Library(args.lib)
    file_id = ctypes.c_uint32()
    lib.check(lib.OpenFile(args.recording.encode(), ctypes.byref(file_id)), "ns_OpenFile")
    try:
        info = FileInfo()
        lib.check(lib.GetFileInfo(file_id, ctypes.byref(info), ctypes.sizeof(info)), "ns_GetFileInfo")
        print("File type: %s, %u entities, %.6f s, comment: %s"
              % (text(info.szFileType), info.dwEntityCount, info.dTimeSpan, text(info.szFileComment)))
        analog = []
        for e in range(info.dwEntityCount):
            entity = EntityInfo()
            lib.check(lib.GetEntityInfo(file_id, e, ctypes.byref(entity), ctypes.sizeof(entity)),
                      "ns_GetEntityInfo")
            kind = ENTITY_TYPES.get(entity.dwEntityType, "?")
            print("%4d  %-8s %-32s %8u" % (e, kind, text(entity.szEntityLabel), entity.dwItemCount))
            if entity.dwEntityType == ENTITY_ANALOG:
                analog.append((e, entity.dwItemCount))

        if args.entity is not None:
            chosen = [a for a in analog if a[0] == args.entity]
            if not chosen:
                raise NeuroshareError("entity %d is not an analog entity" % args.entity)
        elif not analog:
            print("No analog entity.")
            return 0
        else:
            chosen = analog
        entity, count = chosen[0]
        ainfo = AnalogInfo()
        lib.check(lib.GetAnalogInfo(file_id, entity, ctypes.byref(ainfo), ctypes.sizeof(ainfo)),
                  "ns_GetAnalogInfo")
        values = read_analog(lib, file_id, entity, count)
        mean = sum(values) / len(values) if len(values) else 0.0
        print("Entity %d: %d samples at %g Hz in %s, mean %.17g"
              % (entity, len(values), ainfo.dSampleRate, text(ainfo.szUnits), mean))
        print("First values: " + " ".join("%.17g" % v for v in values[:5]))
    finally:
        lib.CloseFile(file_id)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, NeuroshareError) as error:
        print("read_recording: %s" % error, file=sys.stderr)
        sys.exit(1)
