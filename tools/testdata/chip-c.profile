# Behaviour profile of chip class C on the synthetic device (tests/uac/testdata/chip-bc-synthetic.txt).
# The model string "7415-SIM" chooses the class.
model 0037 0034 0031 0035 002D 0053 0049 004D
