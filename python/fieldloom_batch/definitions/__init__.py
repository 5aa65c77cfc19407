"""Packet definitions: the model (packet types, entries, conditions,
calibrations) and what decodes recordings with it."""
from fieldloom_batch.definitions.definitions import Definitions
from fieldloom_batch.definitions.model import (AllOf, AnyOf, Boolean, CCSDS_EPOCH, CDS, CUC, Comparison, Contextual,
                                               DefinitionError, Delimited, Dynamic, Entry, Enumeration, PacketType,
                                               Polynomial, Spline, Time, ToEnd, ccsds_primary_header)
from fieldloom_batch.definitions.results import Census, DecodedPackets, PacketError, PacketTable, RefusedPacket

__all__ = ["AllOf", "AnyOf", "Boolean", "CCSDS_EPOCH", "CDS", "CUC", "Census", "Comparison", "Contextual",
           "DecodedPackets", "DefinitionError", "Definitions", "Delimited", "Dynamic", "Entry", "Enumeration",
           "PacketError", "PacketTable", "PacketType", "Polynomial", "RefusedPacket", "Spline", "Time", "ToEnd",
           "ccsds_primary_header"]
