"""XTCE documents for the loader tests, written here (never taken from a
peer's distribution)."""
from __future__ import annotations

XTCE12 = "http://www.omg.org/spec/XTCE/20180204"
XTCE11 = "http://www.omg.org/space/xtce"

HEADER_TYPES = """
<IntegerParameterType name="U1"><IntegerDataEncoding sizeInBits="1"/></IntegerParameterType>
<IntegerParameterType name="U2"><IntegerDataEncoding sizeInBits="2"/></IntegerParameterType>
<IntegerParameterType name="U3"><IntegerDataEncoding sizeInBits="3"/></IntegerParameterType>
<IntegerParameterType name="U8"><IntegerDataEncoding sizeInBits="8"/></IntegerParameterType>
<IntegerParameterType name="U11"><IntegerDataEncoding sizeInBits="11"/></IntegerParameterType>
<IntegerParameterType name="U14"><IntegerDataEncoding sizeInBits="14"/></IntegerParameterType>
<IntegerParameterType name="U16"><IntegerDataEncoding sizeInBits="16"/></IntegerParameterType>
"""
HEADER_PARAMETERS = """
<Parameter name="VERSION" parameterTypeRef="U3"/>
<Parameter name="TYPE" parameterTypeRef="U1"/>
<Parameter name="SEC_HDR_FLG" parameterTypeRef="U1"/>
<Parameter name="PKT_APID" parameterTypeRef="U11"/>
<Parameter name="SEQ_FLGS" parameterTypeRef="U2"/>
<Parameter name="SRC_SEQ_CTR" parameterTypeRef="U14"/>
<Parameter name="PKT_LEN" parameterTypeRef="U16"/>
"""
HEADER_CONTAINER = """
<SequenceContainer name="CCSDSPacket" abstract="true"><EntryList>
<ParameterRefEntry parameterRef="VERSION"/><ParameterRefEntry parameterRef="TYPE"/>
<ParameterRefEntry parameterRef="SEC_HDR_FLG"/><ParameterRefEntry parameterRef="PKT_APID"/>
<ParameterRefEntry parameterRef="SEQ_FLGS"/><ParameterRefEntry parameterRef="SRC_SEQ_CTR"/>
<ParameterRefEntry parameterRef="PKT_LEN"/>
</EntryList></SequenceContainer>
"""


def document(types: str = "", parameters: str = "", containers: str = "", *, extra: str = "", inner: str = "",
             namespace: str | None = XTCE12, prefix: str = "", header: bool = True) -> bytes:
    """A space system 'Sat' with the CCSDS header (unless `header` is
    False), the given parts, `extra` elements after its containers and
    `inner` space systems. With `prefix`, every element is written with it."""
    text = f"""<?xml version="1.0" encoding="UTF-8"?>
<SpaceSystem name="Sat"{'' if namespace is None else f' xmlns="{namespace}"'}>
<TelemetryMetaData>
<ParameterTypeSet>{HEADER_TYPES if header else ''}
{types}
</ParameterTypeSet>
<ParameterSet>{HEADER_PARAMETERS if header else ''}
{parameters}
</ParameterSet>
<ContainerSet>{HEADER_CONTAINER if header else ''}
{containers}
</ContainerSet>
{extra}
</TelemetryMetaData>
{inner}
</SpaceSystem>
"""
    if prefix:
        import re
        text = re.sub(r"<(/?)(?=[A-Z])", rf"<\1{prefix}:", text)
        text = text.replace(f' xmlns="{namespace}"', f' xmlns:{prefix}="{namespace}"')
    return text.encode()


def container(name: str, entries: str, *, apid: int | None = None, base: str = "CCSDSPacket",
              attributes: str = "") -> str:
    """A container extending `base` for packets of `apid`."""
    restriction = "" if apid is None else (
        f'<RestrictionCriteria><Comparison parameterRef="PKT_APID" value="{apid}"/></RestrictionCriteria>')
    return (f'<SequenceContainer name="{name}"{attributes}><EntryList>{entries}</EntryList>'
            f'<BaseContainer containerRef="{base}">{restriction}</BaseContainer></SequenceContainer>')


def refs(*names: str) -> str:
    return "".join(f'<ParameterRefEntry parameterRef="{name}"/>' for name in names)
