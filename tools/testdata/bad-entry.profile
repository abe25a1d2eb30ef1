model 000B 0005 0050
model-id 32
