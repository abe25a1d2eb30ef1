# Behaviour profile of the synthetic chip class A device (tests/uac/testdata/chip-a-synthetic.txt).
# The model string starts with the chip A code units 0x000B 0x0005 0x0050.
model 000B 0005 0050 0041 0031
# The probe's two chip values: vendor request 0x81, index 9 and index 8.
vendor C3 81 0000 0009 9F
vendor C3 81 0000 0008 03
# The chip's six registers, written over HID interface 3.
registers 0000 0000 0000 0000 0000 0000
