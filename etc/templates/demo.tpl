<html>
<head><meta charset="UTF-8"><title>Torvane APP</title></head>
<body>
<p>Requested path: {path}</p>
<p>Your request headers:</p>
<table border="1">
<tr><th>Name</th><th>Value</th></tr>
{loop header}<tr><td>{header.name}</td><td>{header.value}</td></tr>
{else header}<tr><td colspan="2">No headers were sent.</td></tr>
{end header}</table>
</body>
</html>
