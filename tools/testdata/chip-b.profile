# Behaviour profile of chip class B on the synthetic device (tests/uac/testdata/chip-bc-synthetic.txt).
# The model string "7403-SIM" chooses the class.
model 0037 0034 0030 0033 002D 0053 0049 004D
