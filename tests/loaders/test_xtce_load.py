"""XTCE documents to packet types: each supported element's meaning in the
model, the namespaces and references, and refusals that name the element,
its owner and its line."""
from __future__ import annotations

import re

import pytest

from fieldloom_batch.definitions.model import (AllOf, AnyOf, Boolean, Comparison, Contextual, Delimited, Dynamic,
                                               Entry, Enumeration, PacketType, Polynomial, Spline, Time)
from fieldloom_batch.loaders import DocumentError, read_xtce

from xtce_documents import XTCE11, XTCE12, container, document, refs

U8 = Entry("A", bits=8)


def only(types: str, parameters: str, entries: str, **options: object) -> tuple[Entry, ...]:
    """The entries of the one container 'P' (after the header) of a document."""
    loaded = read_xtce(document(types, parameters, container("P", entries, apid=5), **options))  # type: ignore[arg-type]
    return loaded[1].entries


def integer(name: str, body: str, tag: str = "IntegerParameterType") -> str:
    return f'<{tag} name="{name}">{body}</{tag}>'


@pytest.mark.parametrize("body, expected", [
    ('<IntegerDataEncoding sizeInBits="12" encoding="twosComplement"/>', Entry("X", "twos_complement", 12)),
    ('<IntegerDataEncoding sizeInBits="7" encoding="onesComplement"/>', Entry("X", "ones_complement", 7)),
    ('<IntegerDataEncoding sizeInBits="9" encoding="signMagnitude"/>', Entry("X", "sign_magnitude", 9)),
    # BCD is a digit per byte, packedBCD a digit per nibble, most significant digit first
    ('<IntegerDataEncoding sizeInBits="16" encoding="BCD"/>', Entry("X", "unpacked_bcd", 16)),
    ('<IntegerDataEncoding sizeInBits="12" encoding="packedBCD"/>', Entry("X", "packed_bcd", 12)),
    ('<IntegerDataEncoding sizeInBits="32" byteOrder="leastSignificantByteFirst"/>',
     Entry("X", bits=32, byte_order="little")),
    ("<IntegerDataEncoding/>", Entry("X", bits=8)),  # the defaults: unsigned, 8 bits
    ('<UnitSet><Unit>m</Unit><Unit>s-1</Unit></UnitSet><IntegerDataEncoding sizeInBits="3"/>',
     Entry("X", bits=3, unit="m s-1")),
])
def test_integer_encodings(body, expected):
    assert only(integer("T", body), '<Parameter name="X" parameterTypeRef="T"/>', refs("X")) == (expected,)


@pytest.mark.parametrize("bits, encoding", [(16, "ieee754_f16"), (32, "ieee754_f32"), (64, "ieee754_f64"),
                                            (128, "ieee754_f128")])
def test_float_encodings(bits, encoding):
    types = integer("T", f'<FloatDataEncoding sizeInBits="{bits}"/>', "FloatParameterType")
    assert only(types, '<Parameter name="X" parameterTypeRef="T"/>', refs("X")) == (Entry("X", encoding, bits),)


def test_calibrators_and_integer_encoded_floats():
    types = "".join([
        # a float of an integer encoding is that integer as a float
        integer("Plain", '<IntegerDataEncoding sizeInBits="10"/>', "FloatParameterType"),
        integer("Poly", '<IntegerDataEncoding sizeInBits="12"><DefaultCalibrator><PolynomialCalibrator>'
                        '<Term coefficient="2" exponent="2"/><Term coefficient="0.5" exponent="0"/>'
                        '<Term coefficient="1" exponent="2"/></PolynomialCalibrator></DefaultCalibrator>'
                        '</IntegerDataEncoding>', "FloatParameterType"),
        # no order attribute: the default order 1; points in any order
        integer("Line", '<IntegerDataEncoding sizeInBits="8"><DefaultCalibrator><SplineCalibrator>'
                        '<SplinePoint raw="10" calibrated="1"/><SplinePoint raw="0" calibrated="0"/>'
                        '</SplineCalibrator></DefaultCalibrator></IntegerDataEncoding>', "FloatParameterType"),
        integer("Step", '<FloatDataEncoding sizeInBits="32"><DefaultCalibrator>'
                        '<SplineCalibrator order="0" extrapolate="true"><SplinePoint raw="0" calibrated="5"/>'
                        '<SplinePoint raw="1" calibrated="6"/></SplineCalibrator></DefaultCalibrator>'
                        '</FloatDataEncoding>', "FloatParameterType"),
        integer("Context", '<IntegerDataEncoding sizeInBits="8"><DefaultCalibrator><PolynomialCalibrator>'
                           '<Term coefficient="1" exponent="1"/></PolynomialCalibrator></DefaultCalibrator>'
                           '<ContextCalibratorList><ContextCalibrator><ContextMatch>'
                           '<Comparison parameterRef="RANGE" value="1"/></ContextMatch><Calibrator>'
                           '<PolynomialCalibrator><Term coefficient="10" exponent="1"/></PolynomialCalibrator>'
                           '</Calibrator></ContextCalibrator></ContextCalibratorList></IntegerDataEncoding>',
                "IntegerParameterType"),
    ])
    names = ["Plain", "Poly", "Line", "Step", "Context"]
    parameters = '<Parameter name="RANGE" parameterTypeRef="U8"/>' + "".join(
        f'<Parameter name="{name.lower()}" parameterTypeRef="{name}"/>' for name in names)
    assert only(types, parameters, refs("RANGE", *(name.lower() for name in names))) == (
        Entry("RANGE", bits=8),
        Entry("plain", bits=10, calibration=Polynomial((0.0, 1.0))),
        Entry("poly", bits=12, calibration=Polynomial((0.5, 0.0, 3.0))),
        Entry("line", bits=8, calibration=Spline(((0, 0), (10, 1)))),
        Entry("step", "ieee754_f32", 32, calibration=Spline(((0, 5), (1, 6)), order=0, extrapolate=True)),
        Entry("context", bits=8, calibration=Contextual(((Comparison("RANGE", "==", 1), Polynomial((0.0, 10.0))),),
                                                        Polynomial((0.0, 1.0)))),
    )


def test_a_lone_term_keeps_its_sign():
    poly = integer("Z", '<IntegerDataEncoding sizeInBits="8"><DefaultCalibrator><PolynomialCalibrator>'
                        '<Term coefficient="-0.0" exponent="0"/><Term coefficient="-0.0" exponent="1"/>'
                        '<Term coefficient="0.0" exponent="1"/></PolynomialCalibrator></DefaultCalibrator>'
                        '</IntegerDataEncoding>', "FloatParameterType")
    (entry,) = only(poly, '<Parameter name="z" parameterTypeRef="Z"/>', refs("z"))
    assert repr(entry.calibration.coefficients) == "(-0.0, 0.0)"  # -0.0 + 0.0 is 0.0


def test_enumerations_booleans_and_times():
    types = "".join([
        integer("Mode", '<IntegerDataEncoding sizeInBits="4"/><EnumerationList><Enumeration value="0" label="OFF"/>'
                        '<Enumeration value="1" maxValue="3" label="ON"/></EnumerationList>',
                "EnumeratedParameterType"),
        '<BooleanParameterType name="Flag" oneStringValue="yes" zeroStringValue="no">'
        '<IntegerDataEncoding sizeInBits="1"/></BooleanParameterType>',
        '<AbsoluteTimeParameterType name="Clock"><Encoding scale="0.5" offset="2">'
        '<IntegerDataEncoding sizeInBits="32"/></Encoding><ReferenceTime><Epoch>TAI</Epoch></ReferenceTime>'
        '</AbsoluteTimeParameterType>',
        '<AbsoluteTimeParameterType name="Wall"><Encoding><FloatDataEncoding sizeInBits="64"/></Encoding>'
        '<ReferenceTime><Epoch>2000-01-01T12:00:00Z</Epoch></ReferenceTime></AbsoluteTimeParameterType>',
    ])
    parameters = ('<Parameter name="mode" parameterTypeRef="Mode"/><Parameter name="flag" parameterTypeRef="Flag"/>'
                  '<Parameter name="clock" parameterTypeRef="Clock" shortDescription="on board"/>'
                  '<Parameter name="wall" parameterTypeRef="Wall"/>')
    entries = refs("mode", "flag") + (
        '<ParameterRefEntry parameterRef="clock"><IncludeCondition><Comparison parameterRef="flag" value="yes"/>'
        '</IncludeCondition></ParameterRefEntry>'
        '<ParameterRefEntry parameterRef="wall"><IncludeCondition><ComparisonList>'
        '<Comparison parameterRef="mode" value="ON"/><Comparison parameterRef="mode" comparisonOperator="&lt;" '
        'value="3" useCalibratedValue="false"/></ComparisonList></IncludeCondition></ParameterRefEntry>')
    assert only(types, parameters, entries) == (
        Entry("mode", bits=4, calibration=Enumeration({0: "OFF", 1: "ON", 2: "ON", 3: "ON"})),
        Entry("flag", bits=1, calibration=Boolean()),
        Entry("clock", bits=32, calibration=Time("1958-01-01T00:00:00", 0.5, 2.0), description="on board",
              condition=Comparison("flag", "==", True)),
        Entry("wall", "ieee754_f64", 64, calibration=Time("2000-01-01T12:00:00"),
              condition=AllOf((Comparison("mode", "==", "ON"), Comparison("mode", "<", 3, raw=True)))),
    )


def string(name: str, size: str, charset: str = "UTF-8") -> str:
    return (f'<StringParameterType name="{name}"><StringDataEncoding encoding="{charset}">{size}'
            '</StringDataEncoding></StringParameterType>')


def test_text_and_binary_sizes():
    dynamic = ('<DynamicValue><ParameterInstanceRef parameterRef="N"/><LinearAdjustment slope="8" intercept="-16"/>'
               '</DynamicValue>')
    types = "".join([
        string("Fixed", "<SizeInBits><Fixed><FixedValue>32</FixedValue></Fixed></SizeInBits>", "US-ASCII"),
        string("FixedEnd", "<SizeInBits><Fixed><FixedValue>64</FixedValue></Fixed><TerminationChar>0000"
                           "</TerminationChar></SizeInBits>", "UTF-16BE"),
        string("FixedLead", '<SizeInBits><Fixed><FixedValue>64</FixedValue></Fixed>'
                            '<LeadingSize sizeInBitsOfSizeTag="8"/></SizeInBits>'),
        string("Sized", f'<Variable maxSizeInBits="800">{dynamic}</Variable>', "Windows-1252"),
        string("Ended", '<Variable maxSizeInBits="800"><TerminationChar>0A</TerminationChar></Variable>'),
        string("Led", '<Variable maxSizeInBits="800"><LeadingSize/></Variable>', "ISO-8859-1"),
        '<BinaryParameterType name="Blob"><BinaryDataEncoding><SizeInBits><FixedValue>24</FixedValue>'
        '</SizeInBits></BinaryDataEncoding></BinaryParameterType>',
        f'<BinaryParameterType name="Data"><BinaryDataEncoding><SizeInBits>{dynamic}</SizeInBits>'
        '</BinaryDataEncoding></BinaryParameterType>',
    ])
    names = ["Fixed", "FixedEnd", "FixedLead", "Sized", "Ended", "Led", "Blob", "Data"]
    parameters = '<Parameter name="N" parameterTypeRef="U8"/>' + "".join(
        f'<Parameter name="{name.lower()}" parameterTypeRef="{name}"/>' for name in names)
    size = Dynamic("N", 8, -16)
    assert only(types, parameters, refs("N", *(name.lower() for name in names))) == (
        Entry("N", bits=8),
        Entry("fixed", "us_ascii", 32),
        Entry("fixedend", "utf16be", 64, terminator=b"\0\0"),
        Entry("fixedlead", "utf8", 64, leading_bits=8),
        Entry("sized", "windows_1252", size),
        Entry("ended", "utf8", Delimited(), terminator=b"\n"),
        Entry("led", "iso_8859_1", Delimited(), leading_bits=16),
        Entry("blob", "binary", 24),
        Entry("data", "binary", size),
    )


@pytest.mark.parametrize("charset, encoding", [
    ("US-ASCII", "us_ascii"), ("ISO-8859-1", "iso_8859_1"), ("Windows-1252", "windows_1252"), ("UTF-8", "utf8"),
    ("UTF-16", "utf16"), ("UTF-16LE", "utf16le"), ("UTF-16BE", "utf16be"), ("UTF-32", "utf32"),
    ("UTF-32LE", "utf32le"), ("UTF-32BE", "utf32be")])
def test_character_sets(charset, encoding):
    types = string("T", "<SizeInBits><Fixed><FixedValue>64</FixedValue></Fixed></SizeInBits>", charset)
    assert only(types, '<Parameter name="X" parameterTypeRef="T"/>', refs("X")) == (Entry("X", encoding, 64),)


def test_arrays_repeats_and_locations():
    types = ('<ArrayParameterType name="Fixed" arrayTypeRef="U8"><DimensionList><Dimension>'
             '<StartingIndex><FixedValue>0</FixedValue></StartingIndex><EndingIndex><FixedValue>3</FixedValue>'
             '</EndingIndex></Dimension></DimensionList></ArrayParameterType>'
             '<ArrayParameterType name="Counted" arrayTypeRef="U16"><DimensionList><Dimension>'
             '<StartingIndex><FixedValue>1</FixedValue></StartingIndex><EndingIndex><DynamicValue>'
             '<ParameterInstanceRef parameterRef="N"/></DynamicValue></EndingIndex></Dimension></DimensionList>'
             '</ArrayParameterType>')
    parameters = ('<Parameter name="N" parameterTypeRef="U8"/><Parameter name="four" parameterTypeRef="Fixed"/>'
                  '<Parameter name="many" parameterTypeRef="Counted"/><Parameter name="r" parameterTypeRef="U3"/>')
    entries = ('<ParameterRefEntry parameterRef="N"><LocationInContainerInBits referenceLocation="containerStart">'
               '<FixedValue>64</FixedValue></LocationInContainerInBits></ParameterRefEntry>'
               '<ArrayParameterRefEntry parameterRef="four"><LocationInContainerInBits><FixedValue>8</FixedValue>'
               '</LocationInContainerInBits></ArrayParameterRefEntry>'
               '<ArrayParameterRefEntry parameterRef="many"/>'
               '<ParameterRefEntry parameterRef="r"><RepeatEntry><Count><FixedValue>5</FixedValue></Count>'
               '<Offset><FixedValue>0</FixedValue></Offset></RepeatEntry></ParameterRefEntry>'
               '<ParameterRefEntry parameterRef="A"><RepeatEntry><Count><DynamicValue>'
               '<ParameterInstanceRef parameterRef="N"/><LinearAdjustment slope="2" intercept="1"/></DynamicValue>'
               '</Count></RepeatEntry></ParameterRefEntry>')
    assert only(types, '<Parameter name="A" parameterTypeRef="U8"/>' + parameters, entries) == (
        Entry("N", bits=8, offset=64),
        Entry("four", bits=8, count=4, offset=8, relative_to="previous"),
        Entry("many", bits=16, count=Dynamic("N")),
        Entry("r", bits=3, count=5),
        Entry("A", bits=8, count=Dynamic("N", 2, 1)),
    )


def test_inheritance_conditions_and_included_containers():
    extra_types = '<IntegerParameterType name="S8"><IntegerDataEncoding sizeInBits="8" encoding="twosComplement"/></IntegerParameterType>'
    parameters = '<Parameter name="A" parameterTypeRef="U8"/><Parameter name="B" parameterTypeRef="S8"/>'
    containers = (
        '<SequenceContainer name="Part"><EntryList><ParameterRefEntry parameterRef="B"><LocationInContainerInBits>'
        '<FixedValue>2</FixedValue></LocationInContainerInBits></ParameterRefEntry></EntryList></SequenceContainer>'
        + container("Middle", refs("A"), apid=7, attributes=' abstract="true" shortDescription="mid"')
        + '<SequenceContainer name="Leaf"><EntryList><ContainerRefEntry containerRef="Part">'
          '<LocationInContainerInBits><FixedValue>4</FixedValue></LocationInContainerInBits>'
          '<IncludeCondition><Comparison parameterRef="A" value="1" comparisonOperator="&gt;="/></IncludeCondition>'
          '</ContainerRefEntry></EntryList><BaseContainer containerRef="Middle"><RestrictionCriteria>'
          '<BooleanExpression><ORedConditions><Condition><ParameterInstanceRef parameterRef="A"/>'
          '<ComparisonOperator>==</ComparisonOperator><Value>3</Value></Condition><ANDedConditions>'
          '<Condition><ParameterInstanceRef parameterRef="B" useCalibratedValue="false"/>'
          '<ComparisonOperator>!=</ComparisonOperator><Value>-1</Value></Condition><Condition>'
          '<ParameterInstanceRef parameterRef="VERSION"/><ComparisonOperator>&lt;=</ComparisonOperator>'
          '<Value>0x2</Value></Condition></ANDedConditions></ORedConditions></BooleanExpression>'
          '</RestrictionCriteria></BaseContainer></SequenceContainer>')
    loaded = read_xtce(document(extra_types, parameters, containers))
    header = loaded[0]
    assert [t.name for t in loaded] == ["CCSDSPacket", "Middle", "Leaf"]  # Part is only ever included
    assert header.abstract and header.base is None and len(header.entries) == 7
    assert loaded[1] == PacketType("Middle", (U8,), (Comparison("PKT_APID", "==", 7),), "CCSDSPacket", True, "mid")
    assert loaded[2] == PacketType("Leaf", (
        Entry("B", "twos_complement", 8, offset=6, relative_to="previous", condition=Comparison("A", ">=", 1)),),
        (AnyOf((Comparison("A", "==", 3), AllOf((Comparison("B", "!=", -1, raw=True),
                                                  Comparison("VERSION", "<=", 2))))),), "Middle")
    assert read_xtce(document(extra_types, parameters, containers), root="Middle") == loaded
    assert [t.name for t in read_xtce(document(extra_types, parameters, containers), root="Part")] == ["Part"]


def test_nested_space_systems_and_references():
    inner = ('<SpaceSystem name="Payload"><TelemetryMetaData><ParameterTypeSet>'
             '<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="4"/></IntegerParameterType>'
             '</ParameterTypeSet><ParameterSet><Parameter name="A" parameterTypeRef="U8"/>'
             '<Parameter name="C" parameterTypeRef="../U16"/></ParameterSet><ContainerSet>'
             + container("Science", refs("A", "/Sat/A", "C", "/Sat/Payload/A"), apid=9, base="/Sat/CCSDSPacket")
             + "</ContainerSet></TelemetryMetaData></SpaceSystem>")
    loaded = read_xtce(document("", '<Parameter name="A" parameterTypeRef="U8"/>',
                                container("Top", refs("A", "Payload/A")), inner=inner))
    # the two parameters named A are told apart by their paths; C is unique
    inner_a, outer_a = Entry("/Sat/Payload/A", bits=4), Entry("/Sat/A", bits=8)
    assert loaded[1].entries == (outer_a, inner_a)
    assert loaded[2].name == "Science" and loaded[2].base == "CCSDSPacket"
    assert loaded[2].entries == (inner_a, outer_a, Entry("C", bits=16), inner_a)


@pytest.mark.parametrize("options", [
    {"namespace": XTCE11}, {"namespace": None}, {"prefix": "xtce"}, {"prefix": "x", "namespace": XTCE11}])
def test_namespaces(options):
    plain = read_xtce(document("", '<Parameter name="A" parameterTypeRef="U8"/>', container("P", refs("A"), apid=1)))
    assert read_xtce(document("", '<Parameter name="A" parameterTypeRef="U8"/>', container("P", refs("A"), apid=1),
                              **options)) == plain


HERE = "<!--here-->"
T = '<Parameter name="X" parameterTypeRef="T"/>'


DIMENSION = ("<Dimension><StartingIndex><FixedValue>0</FixedValue></StartingIndex><EndingIndex><FixedValue>1"
             "</FixedValue></EndingIndex></Dimension>")
CALIBRATED = ('<FloatParameterType name="C"><IntegerDataEncoding><DefaultCalibrator><PolynomialCalibrator>'
              '<Term coefficient="2" exponent="1"/></PolynomialCalibrator></DefaultCalibrator></IntegerDataEncoding>'
              '</FloatParameterType>')


def type_case(body: str, tag: str = "IntegerParameterType") -> tuple[str, str, str]:
    return f'<{tag} name="T">{body}</{tag}>', T, refs("X")


def entry_case(entry: str, types: str = "") -> tuple[str, str, str]:
    return types, '<Parameter name="X" parameterTypeRef="U8"/>', entry


REFUSED = [
    # (types, parameters, entries of container 'P'), the element, its owner
    (("\n" + HERE + '<AggregateParameterType name="T"/>', "", ""), "AggregateParameterType", "space system 'Sat'"),
    (("\n" + HERE + '<RelativeTimeParameterType name="T"/>', "", ""), "RelativeTimeParameterType",
     "space system 'Sat'"),
    (type_case(f'<IntegerDataEncoding><DefaultCalibrator>\n{HERE}<MathOperationCalibrator/></DefaultCalibrator>'
               '</IntegerDataEncoding>', "FloatParameterType"), "MathOperationCalibrator", "parameter type 'T'"),
    (type_case(f'\n{HERE}<FloatDataEncoding encoding="MILSTD_1750A"/>', "FloatParameterType"), "FloatDataEncoding",
     "parameter type 'T'"),
    (type_case(f'\n{HERE}<FloatDataEncoding sizeInBits="80"/>', "FloatParameterType"), "FloatDataEncoding",
     "parameter type 'T'"),
    (type_case(f'\n{HERE}<IntegerDataEncoding bitOrder="leastSignificantBitFirst"/>'), "IntegerDataEncoding",
     "parameter type 'T'"),
    (type_case(f'\n{HERE}<IntegerDataEncoding byteOrder="1,0" sizeInBits="16"/>'), "IntegerDataEncoding",
     "parameter type 'T'"),
    (type_case(f'<IntegerDataEncoding>\n{HERE}<ErrorDetectCorrect/></IntegerDataEncoding>'), "ErrorDetectCorrect",
     "parameter type 'T'"),
    (type_case(f'<IntegerDataEncoding/>\n{HERE}<Frobnicate/>'), "Frobnicate", "parameter type 'T'"),
    (("\n" + HERE + '<IntegerParameterType name="T" baseType="U8"><IntegerDataEncoding/></IntegerParameterType>',
      T, refs("X")), "IntegerParameterType", "parameter type 'T'"),
    (type_case('<IntegerDataEncoding><DefaultCalibrator>\n' + HERE + '<SplineCalibrator order="2">'
               '<SplinePoint raw="0" calibrated="0"/><SplinePoint raw="1" calibrated="1"/></SplineCalibrator>'
               '</DefaultCalibrator></IntegerDataEncoding>', "FloatParameterType"), "SplineCalibrator",
     "parameter type 'T'"),
    (type_case(f'<IntegerDataEncoding sizeInBits="32"/><EnumerationList>\n{HERE}<Enumeration value="0" '
               'maxValue="4000000000" label="ANY"/></EnumerationList>', "EnumeratedParameterType"),
     "Enumeration", "parameter type 'T'"),
    (type_case(f'<StringDataEncoding><Variable maxSizeInBits="8">\n{HERE}<DiscreteLookupList/></Variable>'
               '</StringDataEncoding>', "StringParameterType"), "DiscreteLookupList", "parameter type 'T'"),
    (type_case(f'<BinaryDataEncoding><SizeInBits><FixedValue>8</FixedValue></SizeInBits>\n{HERE}'
               '<FromBinaryTransformAlgorithm name="f"/></BinaryDataEncoding>', "BinaryParameterType"),
     "FromBinaryTransformAlgorithm", "parameter type 'T'"),
    (type_case(f'\n{HERE}<Encoding units="days"><IntegerDataEncoding/></Encoding><ReferenceTime><Epoch>TAI'
               '</Epoch></ReferenceTime>', "AbsoluteTimeParameterType"), "Encoding", "parameter type 'T'"),
    (type_case(f'<Encoding><IntegerDataEncoding/></Encoding><ReferenceTime>\n{HERE}<OffsetFrom parameterRef="A"/>'
               '</ReferenceTime>', "AbsoluteTimeParameterType"), "OffsetFrom", "parameter type 'T'"),
    (type_case(f'<Encoding><IntegerDataEncoding/></Encoding><ReferenceTime>\n{HERE}<Epoch>2000-01-01T00:00:00+02:00'
               '</Epoch></ReferenceTime>', "AbsoluteTimeParameterType"), "Epoch", "parameter type 'T'"),
    (('<ArrayParameterType name="T" arrayTypeRef="U8">\n' + HERE + "<DimensionList>" + DIMENSION * 2
      + "</DimensionList></ArrayParameterType>", "", ""), "DimensionList", "parameter type 'T'"),
    # a size from a calibrated value, without saying that the value before calibration is meant
    ((type_case('<StringDataEncoding><Variable maxSizeInBits="80"><DynamicValue>\n' + HERE
                + '<ParameterInstanceRef parameterRef="Cal"/></DynamicValue></Variable></StringDataEncoding>',
                "StringParameterType")[0] + CALIBRATED, '<Parameter name="Cal" parameterTypeRef="C"/>' + T, refs("X")),
     "ParameterInstanceRef", "parameter type 'T'"),
    (("", f'<Parameter name="X" parameterTypeRef="U8">\n{HERE}<Unknown/></Parameter>', ""), "Unknown",
     "parameter 'X'"),
    (entry_case(f'\n{HERE}<IndirectParameterRefEntry/>'), "IndirectParameterRefEntry", "container 'P'"),
    (entry_case(f'\n{HERE}<ContainerSegmentRefEntry containerRef="P"/>'), "ContainerSegmentRefEntry",
     "container 'P'"),
    (entry_case(f'\n{HERE}<StreamSegmentEntry/>'), "StreamSegmentEntry", "container 'P'"),
    (entry_case(f'<ParameterRefEntry parameterRef="X">\n{HERE}<LocationInContainerInBits '
                'referenceLocation="containerEnd"><FixedValue>8</FixedValue></LocationInContainerInBits>'
                '</ParameterRefEntry>'), "LocationInContainerInBits", "container 'P'"),
    (entry_case(f'<ParameterRefEntry parameterRef="X">\n{HERE}<LocationInContainerInBits><DynamicValue>'
                '<ParameterInstanceRef parameterRef="X"/></DynamicValue></LocationInContainerInBits>'
                '</ParameterRefEntry>'), "LocationInContainerInBits", "container 'P'"),
    (entry_case('<ParameterRefEntry parameterRef="X"><RepeatEntry><Count><FixedValue>2</FixedValue></Count>\n'
                f'{HERE}<Offset><FixedValue>8</FixedValue></Offset></RepeatEntry></ParameterRefEntry>'),
     "Offset", "container 'P'"),
    (entry_case(f'<ParameterRefEntry parameterRef="X"><IncludeCondition>\n{HERE}<CustomAlgorithm name="a"/>'
                '</IncludeCondition></ParameterRefEntry>'), "CustomAlgorithm", "container 'P'"),
    (entry_case(f'<ParameterRefEntry parameterRef="X"><IncludeCondition><BooleanExpression>\n{HERE}<Condition>'
                '<ParameterInstanceRef parameterRef="X"/><ComparisonOperator>==</ComparisonOperator>'
                '<ParameterInstanceRef parameterRef="X"/></Condition></BooleanExpression></IncludeCondition>'
                '</ParameterRefEntry>'), "Condition", "container 'P'"),
    (entry_case(f'<ParameterRefEntry parameterRef="X"><IncludeCondition>\n{HERE}<Comparison parameterRef="X" '
                'instance="-1" value="1"/></IncludeCondition></ParameterRefEntry>'), "Comparison", "container 'P'"),
    (('<StringParameterType name="S"><StringDataEncoding><SizeInBits><Fixed><FixedValue>8</FixedValue></Fixed>'
      '</SizeInBits></StringDataEncoding></StringParameterType>',
      '<Parameter name="X" parameterTypeRef="U8"/><Parameter name="S" parameterTypeRef="S"/>',
      f'<ParameterRefEntry parameterRef="X"><IncludeCondition>\n{HERE}<Comparison parameterRef="S" value="a"/>'
      '</IncludeCondition></ParameterRefEntry>'), "Comparison", "container 'P'"),
    (entry_case(f'\n{HERE}<ParameterRefEntry parameterRef="Nowhere"/>'), "ParameterRefEntry", "container 'P'"),
]


@pytest.mark.parametrize("parts, element, owner", REFUSED)
def test_refusals_name_element_owner_and_line(parts, element, owner):
    types, parameters, entries = parts
    data = document(types, parameters, container("P", entries, apid=1))
    line = next(k for k, text in enumerate(data.decode().splitlines(), 1) if HERE in text)
    with pytest.raises(DocumentError) as caught:
        read_xtce(data)
    assert f"<{element}> of {owner}" in str(caught.value)
    assert str(caught.value).startswith(f"<document>, line {line}: ")
    assert caught.value.line == line


@pytest.mark.parametrize("extra, element", [("<AlgorithmSet/>", "AlgorithmSet"), ("<StreamSet/>", "StreamSet"),
                                            ("<MessageSet/>", "MessageSet")])
def test_refused_telemetry_sets(extra, element):
    with pytest.raises(DocumentError, match=rf"line \d+: <{element}> of space system 'Sat' is not supported"):
        read_xtce(document(extra=extra))


def test_other_namespaces_and_containers_refused():
    foreign = document(container("P", refs("A")).replace("<EntryList>", '<x:Note xmlns:x="urn:other"/><EntryList>'),
                       ).replace(b"<ContainerSet>", b"<ContainerSet>")
    with pytest.raises(DocumentError, match="<Note> is in the namespace 'urn:other'"):
        read_xtce(foreign)
    with pytest.raises(DocumentError, match=r"<BinaryEncoding> of container 'P' is not supported"):
        read_xtce(document("", "", container("P", "").replace("<EntryList>", "<BinaryEncoding/><EntryList>")))
    with pytest.raises(DocumentError, match="the root container 'Nope' is not in the document"):
        read_xtce(document(), root="Nope")


BOMB = """<?xml version="1.0"?>
<!DOCTYPE SpaceSystem [
<!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
""" + "".join(f'<!ENTITY {chr(98 + k)} "{("&" + chr(97 + k) + ";") * 10}">\n' for k in range(12)) + """]>
<SpaceSystem name="Sat">&m;</SpaceSystem>
"""


@pytest.mark.parametrize("data, message", [
    (BOMB, r"<document>, line 3: the document declares the entity 'a'"),
    ('<?xml version="1.0"?>\n<!DOCTYPE SpaceSystem [\n<!ENTITY secret SYSTEM "file:///etc/passwd">\n]>\n'
     '<SpaceSystem name="Sat">&secret;</SpaceSystem>', r"line 3: the document declares the entity 'secret'"),
    ('<?xml version="1.0"?>\n<!DOCTYPE SpaceSystem [\n<!ENTITY % remote SYSTEM "http://example.invalid/x">\n%remote;\n]>'
     '<SpaceSystem name="Sat"/>', r"line 3: the document declares the entity 'remote'"),
    ('<?xml version="1.0"?>\n<!DOCTYPE SpaceSystem SYSTEM "http://example.invalid/xtce.dtd">\n<SpaceSystem/>',
     r"line 2: the document type refers to an external definition \('http://example.invalid/xtce.dtd'\)"),
    ('<?xml version="1.0"?>\n<SpaceSystem name="Sat">\n<TelemetryMetaData>\n</SpaceSystem>',
     r"<document>: malformed XML: mismatched tag: line 4, column 2"),
    ('<?xml version="1.0"?>\n<SpaceSystem name="Sat">&undefined;</SpaceSystem>',
     r"malformed XML: undefined entity: line 2, column 24"),
    ('<?xml version="1.0"?>\n<Other/>', r"line 1: the root element is <Other>, not <SpaceSystem>"),
])
def test_unsafe_and_malformed_documents(data, message):
    with pytest.raises(DocumentError, match=message):
        read_xtce(data.encode())


def test_plain_doctype_and_files(tmp_path):
    data = document("", '<Parameter name="A" parameterTypeRef="U8"/>', container("P", refs("A"), apid=1))
    with_doctype = data.replace(b"?>\n", b"?>\n<!DOCTYPE SpaceSystem>\n", 1)
    (tmp_path / "doc.xml").write_bytes(with_doctype)
    assert read_xtce(tmp_path / "doc.xml") == read_xtce(data)
    (tmp_path / "bad.xml").write_bytes(data.replace(b'sizeInBits="8"/>', b'sizeInBits="8"><Bad/></IntegerDataEncoding>', 1))
    with pytest.raises(DocumentError, match=re.escape(str(tmp_path / "bad.xml")) + r", line \d+: <Bad> of parameter type 'U8'"):
        read_xtce(tmp_path / "bad.xml")


def test_parameters_the_model_cannot_hold():
    types = ('<IntegerParameterType name="T"><IntegerDataEncoding sizeInBits="12" '
             'byteOrder="leastSignificantByteFirst"/></IntegerParameterType>')
    data = document(types, f'\n{HERE}<Parameter name="X" parameterTypeRef="T"/>')
    line = next(k for k, text in enumerate(data.decode().splitlines(), 1) if HERE in text)
    with pytest.raises(DocumentError, match=rf"line {line}: <Parameter> of parameter 'X' cannot be an entry: entry 'X': "
                                            r"a little-endian entry is a whole number of bytes wide, not 12 bits"):
        read_xtce(data)


def test_a_foreign_root_namespace():
    with pytest.raises(DocumentError, match=r"line 2: <SpaceSystem> is in the namespace 'urn:other'"):
        read_xtce(document(namespace="urn:other"))


def test_nesting_without_end():
    deep = "<ANDedConditions>" * 20000 + "</ANDedConditions>" * 20000
    entry = f'<ParameterRefEntry parameterRef="A"><IncludeCondition><BooleanExpression>{deep}</BooleanExpression>' \
            '</IncludeCondition></ParameterRefEntry>'
    with pytest.raises(DocumentError, match="<document>: the document nests its elements too deeply to be read"):
        read_xtce(document("", '<Parameter name="A" parameterTypeRef="U8"/>', container("P", entry, apid=1)))


def test_cycles_of_containers():
    cycle = (container("A", refs("A"), base="B") + container("B", "", base="A"))
    loaded = read_xtce(document("", '<Parameter name="A" parameterTypeRef="U8"/>', cycle), root="A")
    assert [(t.name, t.base) for t in loaded] == [("A", "B"), ("B", "A")]  # the set's checks refuse the cycle
    included = ('<SequenceContainer name="P"><EntryList><ContainerRefEntry containerRef="A"/></EntryList>'
                '</SequenceContainer>')
    with pytest.raises(DocumentError, match=r"<SequenceContainer> of container '[AB]' extends or includes itself"):
        read_xtce(document("", '<Parameter name="A" parameterTypeRef="U8"/>', cycle + included))


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16"])
def test_documents_in_other_encodings_and_with_cdata(encoding):
    # '>', a blank and '<' as text (in CDATA), or as the bytes of '\u203e' and '<' in UTF-16
    unit = "<![CDATA[a> <b]]>" if encoding == "utf-8" else "\u203e"
    unit = f"<UnitSet><Unit>{unit}</Unit></UnitSet>"
    types = f'<IntegerParameterType name="T">{unit}<IntegerDataEncoding/></IntegerParameterType>'
    data = document(types, '<Parameter name="X" parameterTypeRef="T"/>', container("P", refs("X"), apid=1)).decode()
    data = data.replace('encoding="UTF-8"', f'encoding="{encoding}"').encode(encoding)
    assert read_xtce(data)[1].entries == (Entry("X", bits=8, unit="a> <b" if encoding == "utf-8" else "\u203e"),)
