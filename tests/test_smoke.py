import quarix


def test_flat_round_trip():
    index = quarix.PyFlat(2)
    index.insert([0.0, 0.0])
    index.insert([3.0, 4.0])
    assert index.search([0.0, 0.0], 5) == [(0, 0.0), (1, 5.0)]
