model 000B 0005 0050
vendor C3 81 0000 0009 9F
vendor C3 81 0000 0008 03
registers 0 0 0 0 0 0
setting Disable6ChOutSupported 1
