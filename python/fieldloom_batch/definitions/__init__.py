"""Packet definitions: the model (packet types, entries, conditions,
calibrations) and what decodes recordings with it."""
from fieldloom_batch.definitions.model import (AllOf, AnyOf, Boolean, CCSDS_EPOCH, CDS, CUC, Comparison, Contextual,
                                               DefinitionError, Delimited, Dynamic, Entry, Enumeration, PacketType,
                                               Polynomial, Spline, Time, ToEnd, ccsds_primary_header)

__all__ = ["AllOf", "AnyOf", "Boolean", "CCSDS_EPOCH", "CDS", "CUC", "Comparison", "Contextual", "DefinitionError",
           "Delimited", "Dynamic", "Entry", "Enumeration", "PacketType", "Polynomial", "Spline", "Time", "ToEnd",
           "ccsds_primary_header"]
