model 000B 0005 0050
vendor C3 81 0000 0009 9F
registers 1 2 3
