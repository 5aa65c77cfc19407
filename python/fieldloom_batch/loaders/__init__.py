"""Packet definitions from the files missions keep them in: XTCE documents
and CSV field lists, read into the model of `fieldloom_batch.definitions`
(and written back as XTCE)."""
from fieldloom_batch.loaders.fields_csv import load_fields_csv, read_fields_csv
from fieldloom_batch.loaders.xml_tree import DocumentError
from fieldloom_batch.loaders.xtce import load_xtce, read_xtce
from fieldloom_batch.loaders.xtce_writer import write_xtce

__all__ = ["DocumentError", "load_fields_csv", "load_xtce", "read_fields_csv", "read_xtce", "write_xtce"]
