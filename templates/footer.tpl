<footer class="foot">
%%ifdef%%copyright%%
<p>%%copyright%%</p>
%%else%%
<p>Larkspur Mail</p>
%%endif%%
</footer>
</body>
</html>
