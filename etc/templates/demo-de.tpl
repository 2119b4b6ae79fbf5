<html>
<head><meta charset="UTF-8"><title>Torvane APP</title></head>
<body>
<p lang="de">Angeforderter Pfad: {path}</p>
<p>Ihr Browser hat diese Kopfzeilen gesendet:</p>
<table border="1">
<tr><th>Name</th><th>Wert</th></tr>
{loop header}<tr><td>{header.name}</td><td>{header.value}</td></tr>
{else header}<tr><td colspan="2">Es wurden keine Kopfzeilen gesendet.</td></tr>
{end header}</table>
</body>
</html>
