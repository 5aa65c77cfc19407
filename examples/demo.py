"""A first look at fieldloom: signed fields in and out of their bit patterns."""
import fieldloom


def main() -> None:
    print("Signed 12-bit fields")
    for value in (-2048, -1, 0, 1, 2047):
        raw = fieldloom.encode_twos_complement(value, 12)
        back = fieldloom.decode_twos_complement(raw, 12)
        print(f"  {value:>6} -> two's complement 0x{raw:03X} -> {back}")
    for value in (-5, 5):
        ones = fieldloom.encode_ones_complement(value, 8)
        sign_mag = fieldloom.encode_sign_magnitude(value, 8)
        print(f"  {value:>6} -> ones' complement 0x{ones:02X}, sign-magnitude 0x{sign_mag:02X}")

    print("What a caller sees when a value does not fit:")
    try:
        fieldloom.encode_twos_complement(4096, 12)
    except ValueError as error:
        print(f"  ValueError: {error}")


if __name__ == "__main__":
    main()
