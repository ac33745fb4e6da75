print("demo pending")
