// The stand-in hosted application: a small dialer that shows the commands
// the desktop client hands it.
function TorvaneAppWeb() {}
TorvaneAppWeb.commands = [];
TorvaneAppWeb.unreported = [];
TorvaneAppWeb.reporting = false;
TorvaneAppWeb.prototype.api = {
  commandJson2: function (command) {
    // Lets a test make the page reload itself, as a user's navigation would.
    if (command.comando === 'reload') {
      location.reload();
      return;
    }
    var received = { command: command, at: performance.timeOrigin + performance.now() };
    TorvaneAppWeb.commands.push(received);
    var list = document.getElementById('commands');
    var item = document.createElement('li');
    item.textContent = new Date(received.at).toLocaleTimeString() + ' ' + JSON.stringify(command);
    list.appendChild(item);
    while (list.children.length > 100)
      list.removeChild(list.firstChild);
    TorvaneAppWeb.unreported.push(received);
    TorvaneAppWeb.report();
  }
};

// Reports what the page received, and when, back to the stand-in, so that
// tests and benchmarks can see it. One report at a time carries everything
// received meanwhile; a failed one is sent again.
TorvaneAppWeb.report = function () {
  if (TorvaneAppWeb.reporting || TorvaneAppWeb.unreported.length === 0)
    return;
  var batch = TorvaneAppWeb.unreported;
  TorvaneAppWeb.unreported = [];
  TorvaneAppWeb.reporting = true;
  var request = new XMLHttpRequest();
  request.open('POST', '/record');
  request.onloadend = function () {
    TorvaneAppWeb.reporting = false;
    var failed = request.status !== 200;
    if (failed)
      TorvaneAppWeb.unreported = batch.concat(TorvaneAppWeb.unreported);
    setTimeout(TorvaneAppWeb.report, failed ? 200 : 0);
  };
  request.send(JSON.stringify(batch));
};

function setStatus(text) {
  document.getElementById('status').textContent = text;
}

$(function () {
  $('.keypad button').click(function () {
    $('#number').val($('#number').val() + $(this).text());
  });
  $('#call').click(function () {
    var number = $('#number').val();
    setStatus(number ? 'Chamando ' + number + '... (demonstração, nenhuma chamada é feita)' : 'Digite um número');
  });
  $('#popup').click(function () {
    window.open('/popup.html', 'torvane-popup', 'width=320,height=240');
  });
  $('#microphone').click(function () {
    if (!navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) {
      setStatus('Microfone indisponível');
      return;
    }
    navigator.mediaDevices.getUserMedia({ audio: true }).then(function (stream) {
      stream.getTracks().forEach(function (track) { track.stop(); });
      setStatus('Microfone liberado');
    }, function (error) {
      setStatus('Microfone: ' + error.name);
    });
  });
});
