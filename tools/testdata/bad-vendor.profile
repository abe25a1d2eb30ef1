# a write where a read belongs
vendor 41 81 0000 0009 9F
